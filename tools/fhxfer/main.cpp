// fhxfer: move one file through the file-transfer task library and watch it happen; list,
// follow and delete tasks from any process; read the failure events and the diagnostic
// log. `fhxfer help` lists the commands, `fhxfer help COMMAND` (or COMMAND --help)
// describes one. Every command takes --json and then prints one JSON document on
// standard output (watch: one per line and refresh).
//
// Here: the command table, the help texts and the reading of the command line.
#include <stdio.h>
#include <string.h>

#include <string>

#include "fhxfer.h"

namespace fhxfer {

namespace {

const char kExitHelp[] =
    "exit status:\n"
    "  0  success\n"
    "  1  usage: the command line is wrong\n"
    "  2  refused: the library rejected the request before any data moved (URI,\n"
    "     parameters, protocol, local path rules)\n"
    "  3  failed: the transfer failed at the remote end or on the way (host, remote\n"
    "     file, credentials, network, share)\n"
    "  4  lookup: no such task, or its record or a log cannot be read\n"
    "  5  local: the local file is missing, unreadable or cannot be written\n"
    "  6  busy: no task could start (all ten task slots in use, no task database)\n";

struct Command {
    const char* name;
    const char* synopsis;  // after "fhxfer NAME"
    const char* summary;
    const char* details;
    int minArgs;
    int maxArgs;
    const char* flagNames;   // " a b " forms: boolean options
    const char* valueNames;  // options that take a value
    int (*run)(const Args&);
};

int Help(const Args& a);

const char kTransferOptions[] =
    "  --move       an upload (or a local copy) moves its source instead of copying it\n"
    "  --quiet      no progress bar (there is none either when standard error is not\n"
    "               a terminal)\n";

const Command kCommands[] = {
    {"get", "URI LOCAL [--move] [--quiet]", "download the file a transfer URI names",
     "Starts a download task through the Redfish entry and follows it with a progress bar\n"
     "(percentage, bytes, rate and ETA; a spinner while the size is not known). URI is any\n"
     "transfer URI (http, https, ftp, sftp, scp, tftp, nfs, cifs, or a local path). The task\n"
     "is deleted when it ends.\n",
     2, 2, " move quiet ", " password-file ", Get},
    {"put", "LOCAL URI [--move] [--quiet]", "upload LOCAL to the place a transfer URI names",
     "Starts an upload task through the Redfish entry and follows it like get.\n", 2, 2,
     " move quiet ", " password-file ", Put},
    {"download", "URL LOCAL [options]", "HTTP(S) download with every request option",
     "Fills the request record directly (no URI parsing):\n"
     "  --user NAME:PASSWORD    basic authentication (NAME alone: the password comes from\n"
     "                          --password-file or FHXFER_PASSWORD)\n"
     "  --cacert FILE           verify the server against this CA\n"
     "  --cert FILE --key FILE  client certificate and key\n"
     "  --insecure              do not verify the server\n"
     "  --port N                server port (default: from the URL)\n",
     2, 2, " move quiet insecure ", " user password-file cacert cert key port ", Download},
    {"upload", "LOCAL URL [options]", "HTTP(S) multipart upload with every request option",
     "Options as for download.\n", 2, 2, " move quiet insecure ",
     " user password-file cacert cert key port ", Upload},
    {"parse", "URI [--upload] [--local PATH]", "show the request fields a URI turns into",
     "Parses URI as the Redfish entry does and prints the request record's fields; the\n"
     "password is shown as ***.\n",
     1, 1, " upload ", " local password-file ", Parse},
    {"size", "URI", "the size of the remote file, asked of the protocol's own probe",
     "Each protocol has its probe (a local path: the file's own size). A size of 2 GiB\n"
     "or more cannot be told (exit 3); a server that sends no length gives \"unknown\".\n",
     1, 1, " ", " password-file ", Size},
    {"tasks", "", "list the tasks of the controller with their progress",
     "Every task in the shared task table, whatever process started it.\n", 0, 0, " ", " ", Tasks},
    {"status", "ID", "one task's progress record", "", 1, 1, " ", " ", Status},
    {"watch", "[--interval MS] [--once] [--until-idle]", "follow all tasks live",
     "Redraws the task table whenever it changes (every 500 ms by default), from any\n"
     "process. --once prints it once; --until-idle stops when no task is running. With\n"
     "--json, one document a line per change.\n",
     0, 0, " once until-idle ", " interval ", Watch},
    {"delete", "ID", "delete a task (stops its transfer)", "", 1, 1, " ", " ", Delete},
    {"logo", "URI", "install the custom logo the URI's last element names",
     "Runs the logo upload and shows its Task-service task's percentage.\n", 1, 1, " quiet ",
     " password-file ", Logo},
    {"taskservice", "[ID]", "Task-service tasks (all kept, or one)", "", 0, 1, " ", " ",
     TaskService},
    {"events", "[--last N]", "the failure events (default: the last 20; 0: all)",
     "One line an event: time, event code, and its texts (file name, reason).\n", 0, 0, " ",
     " last ", Events},
    {"log", "[--last N] [--level L]", "the diagnostic log (default: the last 40 lines)",
     "--level L keeps lines of level L and below (2: errors, 4: warnings, 6: information).\n", 0, 0,
     " ", " last level ", Log},
    {"oplog", "[--last N]", "the operation log", "", 0, 0, " ", " last ", OperationLog},
    {"help", "[COMMAND]", "this text, or one command's", "", 0, 1, " ", " ", Help},
};

const Command* FindCommand(const std::string& name) {
    for (const Command& c : kCommands) {
        if (name == c.name) {
            return &c;
        }
    }
    return nullptr;
}

void PrintOverview(FILE* out) {
    fprintf(out, "usage: fhxfer COMMAND [ARGS] [--json] [--help]\n\ncommands:\n");
    for (const Command& c : kCommands) {
        fprintf(out, "  %-12s %s\n", c.name, c.summary);
    }
    fprintf(out,
            "\n--json prints one JSON document on standard output (errors included);\n"
            "`fhxfer help COMMAND` describes a command. Passwords are never printed.\n"
            "A URI of the form scheme://user@host/... gets its password from the first line\n"
            "of --password-file FILE, or else from FHXFER_PASSWORD, so that it never stands\n"
            "on a command line.\n\n%s",
            kExitHelp);
}

void PrintCommandHelp(const Command& c) {
    printf("usage: fhxfer %s %s [--json]\n\n%s\n", c.name, c.synopsis, c.summary);
    if (c.details[0] != '\0') {
        printf("\n%s", c.details);
    }
    if (strstr(c.flagNames, " move ") != nullptr) {
        printf("\n%s", kTransferOptions);
    }
    printf("\n%s", kExitHelp);
}

int Help(const Args& a) {
    if (a.pos.empty()) {
        PrintOverview(stdout);
        return kExitOk;
    }
    const Command* c = FindCommand(a.pos[0]);
    if (c == nullptr) {
        return Fail(a, kExitUsage, "no command " + a.pos[0] + " (fhxfer help lists them)");
    }
    PrintCommandHelp(*c);
    return kExitOk;
}

bool Listed(const char* names, const std::string& name) {
    return strstr(names, (" " + name + " ").c_str()) != nullptr;
}

// The command line: the command's options and arguments, checked against its table row.
int Run(int argc, char** argv) {
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        PrintOverview(argc < 2 ? stderr : stdout);
        return argc < 2 ? kExitUsage : kExitOk;
    }
    const Command* cmd = FindCommand(argv[1]);
    Args a;
    for (int i = 2; i < argc; ++i) {
        a.json = a.json || strcmp(argv[i], "--json") == 0;
    }
    if (cmd == nullptr) {
        Fail(a, kExitUsage, std::string("no command ") + argv[1] + " (fhxfer help lists them)");
        return kExitUsage;
    }
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--json") {
            continue;
        }
        if (arg == "--quiet") {  // every command: nothing on standard error but errors
            a.flags.insert("quiet");
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            PrintCommandHelp(*cmd);
            return kExitOk;
        }
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            std::string name = arg.substr(2);
            if (Listed(cmd->flagNames, name)) {
                a.flags.insert(name);
            } else if (Listed(cmd->valueNames, name) && i + 1 < argc) {
                a.values[name] = argv[++i];
            } else {
                return Fail(a, kExitUsage,
                            Listed(cmd->valueNames, name)
                                ? arg + " needs a value"
                                : "fhxfer " + std::string(cmd->name) + " has no option " + arg);
            }
        } else {
            a.pos.push_back(arg);
        }
    }
    if (static_cast<int>(a.pos.size()) < cmd->minArgs ||
        static_cast<int>(a.pos.size()) > cmd->maxArgs) {
        return Fail(a, kExitUsage, std::string("usage: fhxfer ") + cmd->name + " " + cmd->synopsis);
    }
    return cmd->run(a);
}

}  // namespace

}  // namespace fhxfer

int main(int argc, char** argv) {
    return fhxfer::Run(argc, argv);
}
