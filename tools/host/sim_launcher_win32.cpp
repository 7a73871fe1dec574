#include "tools/host/sim_launcher.h"

namespace qvhost {

bool StartSimulator(const std::vector<std::string>&, std::string*, std::string* error) {
  *error = "--sim needs a pseudo-terminal, which Windows lacks: run qvsim on one end of a COM port pair and "
           "--port the other";
  return false;
}
void StopSimulator() {}
void KillSimulatorNow() {}

}  // namespace qvhost
