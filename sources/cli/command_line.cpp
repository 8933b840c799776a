#include "cli/command_line.h"

#include "engine/update_plan.h"

#include <QCommandLineParser>
#include <QFileInfo>

#include <cstdio>

namespace OrviPlus {

namespace {

const char HelpText[] =
        "Usage: %1 [options]\n"
        "Updates the firmware and the content of Orvi and Orvi+ music devices.\n"
        "Without a command it opens its window; with one it runs without a display and exits.\n\n"
        "Commands:\n"
        "  --list-devices      Lists the attached devices with the versions of their components.\n"
        "  --check             Lists what an update would install on the device.\n"
        "  --update            Updates the device to what the update manifest offers.\n"
        "  --install FILE      Installs FILE on the device; --type says what it is.\n\n"
        "Options:\n"
        "  --type TYPE         What FILE is: mcu, dsp, styles or ensemble.\n"
        "  --device SERIAL     The device to use; needed when several are attached.\n"
        "  --manifest-url URL  The update manifest to use for this run; the settings keep theirs.\n"
        "  --yes               Updates without asking, as a script must.\n"
        "  --json              Prints one JSON document at the end instead of lines as it goes.\n"
        "  -h, --help          Displays this help and exits.\n"
        "  -v, --version       Displays the version and exits.\n\n"
        "Exit status of a command:\n"
        "  0   done; for --check, updates are available\n"
        "  1   failure\n"
        "  2   usage error\n"
        "  3   no device, or not the one asked for\n"
        "  4   nothing to do: the device is up to date\n"
        "  75  another copy of Orvi Updater is running\n\n"
        "The standard options of Qt programs, such as -platform and -style, are also accepted by the window.\n";

struct NamedType
{
    const char *name;
    ComponentType type;
};

const NamedType InstallTypes[] = {{"mcu", ComponentType::McuFirmware},
                                  {"dsp", ComponentType::DspFirmware},
                                  {"styles", ComponentType::Styles},
                                  {"ensemble", ComponentType::EnsembleAudio}};

// Why the options do not make one command, or nothing when they do.
QString commandFault(const QCommandLineParser &parser, CommandLine *request)
{
    if (!parser.positionalArguments().isEmpty())
        return QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().constFirst());
    const std::pair<const char *, CommandLine::Command> commands[] = {{"list-devices", CommandLine::ListDevices},
                                                                      {"check", CommandLine::Check},
                                                                      {"update", CommandLine::Update},
                                                                      {"install", CommandLine::Install}};
    int given = 0;
    for (const auto &[name, command] : commands) {
        if (parser.isSet(QLatin1String(name))) {
            request->command = command;
            ++given;
        }
    }
    if (given > 1)
        return QStringLiteral("Choose one of --list-devices, --check, --update and --install.");
    for (const char *option : {"type", "device", "manifest-url", "yes", "json"}) {
        if (request->command == CommandLine::Window && parser.isSet(QLatin1String(option)))
            return QStringLiteral("--%1 goes with one of --list-devices, --check, --update and --install.")
                    .arg(QLatin1String(option));
    }
    if (parser.isSet(QStringLiteral("type")) != (request->command == CommandLine::Install))
        return QStringLiteral("--install FILE needs --type mcu|dsp|styles|ensemble, and --type goes with it.");

    request->deviceSerial = parser.value(QStringLiteral("device"));
    request->yes = parser.isSet(QStringLiteral("yes"));
    request->json = parser.isSet(QStringLiteral("json"));
    if (parser.isSet(QStringLiteral("manifest-url"))) {
        request->manifestUrl = QUrl::fromUserInput(parser.value(QStringLiteral("manifest-url")));
        if (!request->manifestUrl.isValid())
            return QStringLiteral("Not a valid URL: '%1'.").arg(parser.value(QStringLiteral("manifest-url")));
    }
    if (request->command != CommandLine::Install)
        return QString();

    const QString typeName = parser.value(QStringLiteral("type"));
    const auto named = std::find_if(std::begin(InstallTypes), std::end(InstallTypes),
                                    [&typeName](const NamedType &type) { return typeName == QLatin1String(type.name); });
    if (named == std::end(InstallTypes))
        return QStringLiteral("Unknown component type '%1': use mcu, dsp, styles or ensemble.").arg(typeName);
    request->installType = named->type;
    request->installFile = parser.value(QStringLiteral("install"));
    // The window's rule for files chosen by hand.
    const QString ending = requiredFileEnding(named->type);
    if (!request->installFile.endsWith(ending, Qt::CaseSensitive))
        return QStringLiteral("'%1' does not seem to be a valid %2: its name must end in '%3'.")
                .arg(request->installFile, componentTypeName(named->type), ending);
    if (!QFileInfo(request->installFile).isFile())
        return QStringLiteral("'%1' is not a file that can be read.").arg(request->installFile);
    return QString();
}

} // namespace

int answerCommandLine(const QStringList &arguments, bool reportErrors, CommandLine *commandLine)
{
    QCommandLineParser parser;
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    for (const char *command : {"list-devices", "check", "update", "yes", "json"})
        parser.addOption(QCommandLineOption(QLatin1String(command)));
    const std::pair<const char *, const char *> withValues[] = {
            {"install", "FILE"}, {"type", "TYPE"}, {"device", "SERIAL"}, {"manifest-url", "URL"}};
    for (const auto &[name, value] : withValues)
        parser.addOption(QCommandLineOption(QLatin1String(name), QString(), QLatin1String(value)));
    const QString program = QFileInfo(arguments.value(0, QStringLiteral("orvi-updater"))).fileName();
    const bool parsed = parser.parse(arguments);
    if (parsed && parser.isSet(help)) {
        std::printf("%s", qPrintable(QString::fromLatin1(HelpText).arg(program)));
        return 0;
    }
    if (parsed && parser.isSet(version)) {
        std::printf("Orvi Updater %s\n", ORVI_APP_VERSION);
        return 0;
    }

    CommandLine request;
    QString error = commandFault(parser, &request);
    if (commandLine != nullptr)
        *commandLine = request;
    // A command runs without the window's application object, which takes Qt's options out.
    if (!reportErrors && request.command == CommandLine::Window)
        return -1;
    if (!parsed)
        error = parser.errorText();
    if (error.isEmpty())
        return -1;
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", qPrintable(program),
                 qPrintable(error), qPrintable(program));
    return ExitUsage;
}

} // namespace OrviPlus
