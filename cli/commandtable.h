#pragma once
// The commands of replix-cli and their options: one table from which --help, each command's
// help and the shell completion scripts are all written, so none of them can drift from the
// others or from what the program accepts.

#include <QByteArray>
#include <QList>

struct CliOption {
    const char *name;   // without the leading "--"
    const char *value;  // the value's name, or nullptr for a switch
    const char *help;
};

struct CliCommand {
    const char *name;
    const char *synopsis;
    const char *summary;
    QList<CliOption> options;
    int leastFiles;
    int mostFiles;  // -1: any number
};

const QList<CliCommand> &cliCommands();
const CliCommand *findCliCommand(const QByteArray &name);

QByteArray programHelp();
QByteArray commandHelp(const CliCommand &command);

// The completion script for shell "bash" or "zsh"; empty for any other name. It completes
// commands, each command's options, the speeds, port numbers from "replix-cli ports", folders
// for --backup-dir and *.icf files where a command takes an ICF file.
QByteArray completionScript(const QByteArray &shell);
