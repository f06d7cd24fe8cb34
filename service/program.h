// The service program's command line: service mode, console mode, and administration options.
#pragma once

namespace zantor::service {

int ProgramMain(int argc, char** argv);

}  // namespace zantor::service
