// Compiled into every program that links the engine (an interface source of the engine target),
// so the capability answers core gives are right before anything asks, even in programs that
// never call into the engine's own objects first. A static library would drop an unreferenced
// object file with such an initialiser.
namespace qm {
void installMediaCapabilities();
}

namespace {
struct MediaCapabilitiesInstaller {
    MediaCapabilitiesInstaller() { qm::installMediaCapabilities(); }
} installer;
}  // namespace
