// ZantorSvc: the filter service, run by the service manager or in the foreground with "-run".
#include <clocale>
#include <cstdio>
#include <string>

#include "service/program.h"

int main(int argc, char** argv) {
    // Log time stamps follow the locale's date and time formats.
    std::setlocale(LC_TIME, "");
    return zantor::service::ProgramMain(argc, argv);
}
