// The client's per-message function, builders and input interfaces are added here.
namespace { [[maybe_unused]] int client_placeholder; }
