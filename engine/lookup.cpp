// Host name lookups off the engine's mutex and off the caller's thread: a name server that does
// not answer must hold up neither the other links nor the application.
#include "engine/engine_state.h"
#include "net/sock.h"

#include <string>
#include <system_error>
#include <thread>

namespace {

void LookupDone(std::uint64_t run, std::uint32_t linkId, std::uint32_t portId, std::uint64_t ticket,
                LookupResume resume, const char* address) {
    EngineEntry entry;
    Engine& e = engine();
    if (e.initialized == 0 || e.run != run) {
        return; // the engine stopped, or started again, meanwhile
    }
    PortState& port = e.slots[linkId].port[portId];
    if (port.lookup != ticket) {
        return; // deactivated, reconfigured or activated again meanwhile
    }
    port.lookup = 0;
    resume(port, address);
}

} // namespace

void StartLookup(PortState& port, const char* host, LookupResume resume) {
    Engine& e = engine();
    const std::uint64_t ticket = ++e.lookupTickets;
    port.lookup = ticket;
    const std::uint64_t run = e.run;
    const std::uint32_t linkId = port.link->id;
    const std::uint32_t portId = port.portId;
    try {
        // Detached: a lookup may outlast a shutdown by the resolver's own timeout, and its
        // result is then simply dropped.
        std::thread([name = std::string(host), run, linkId, portId, ticket, resume] {
            char address[16] = {};
            if (sock_resolve(name.c_str(), address) != SOCK_RC_OK) {
                address[0] = '\0';
            }
            LookupDone(run, linkId, portId, ticket, resume, address);
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the name counts as not found, as a failed lookup would.
        port.lookup = 0;
        resume(port, "");
    }
}
