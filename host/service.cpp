#include "host/service.h"

#include "host/service_unit.h"

bool handle_service_command(int argc, char** argv) {
    if (argc < 2) return false;
    switch (service_command_from_args(argc, argv)) {
        case ServiceCommand::Install:
            install_service();
            return true;
        case ServiceCommand::Uninstall:
            uninstall_service();
            return true;
        case ServiceCommand::None:
            break;
    }
    return false;
}
