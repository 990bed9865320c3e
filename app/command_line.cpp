#include "app/command_line.h"

TCommandLine parseCommandLine(const std::vector<std::string>& args) {
    TCommandLine line;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            line.help = true;
        } else if (arg == "--version") {
            line.version = true;
        } else if (arg == "--headless") {
            line.headless = true;
        } else if (arg == "--take-over") {
            line.takeOver = true;
        } else if (arg == "--settings" || arg.rfind("--settings=", 0) == 0) {
            std::string file;
            if (arg == "--settings") {
                if (i + 1 == args.size()) {
                    line.error = "option --settings needs a file name";
                    return line;
                }
                file = args[++i];
            } else {
                file = arg.substr(std::string("--settings=").size());
            }
            if (file.empty()) {
                line.error = "option --settings needs a file name";
                return line;
            }
            line.settingsFile = file;
        } else {
            line.error = "unknown option '" + arg + "'";
            return line;
        }
    }
    if (line.takeOver && !line.headless && !line.help && !line.version)
        line.error = "option --take-over needs --headless";
    return line;
}

std::string usageText() {
    return "Usage: zelvane-tunnel [OPTION]...\n"
           "Relays the virtual serial ports of your tunnels to the cloud server.\n"
           "\n"
           "  --headless       run without a window and without a display: print each\n"
           "                   tunnel's port and status, end on SIGINT or SIGTERM\n"
           "  --take-over      with --headless: when another computer holds a tunnel's\n"
           "                   channel, take it over instead of pausing that tunnel\n"
           "  --settings FILE  read and save the tunnels in FILE instead of\n"
           "                   $XDG_CONFIG_HOME/Quarnel/ZelvaneTunnel/settings.cfg\n"
           "  --version        print the version and exit\n"
           "  --help           print this help and exit\n";
}
