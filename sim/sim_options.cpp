#include "sim/sim_options.h"

#include "sim/simulated_bus.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include <algorithm>

namespace kr960sim
{

namespace
{

struct FaultOption {
    const char *name;
    Fault fault;
};

const FaultOption FaultOptions[] = {
    {"fail", Fault::Stall},
    {"timeout", Fault::Timeout},
    {"short", Fault::ShortReply},
};

bool parseNumber(const QString &text, long long minimum, long long maximum, long long &value)
{
    bool ok = false;
    value = text.toLongLong(&ok, 0); // 0x… hexadecimal, otherwise decimal
    return ok && value >= minimum && value <= maximum;
}

bool parseHex(const QString &text, long long maximum, long long &value)
{
    bool ok = false;
    QString digits = text;
    if (digits.startsWith("0x", Qt::CaseInsensitive))
        digits = digits.mid(2);
    value = digits.toLongLong(&ok, 16);
    return ok && value >= 0 && value <= maximum;
}

bool parseMode(const QString &text, Mode &mode)
{
    if (text != "bootloader" && text != "application")
        return false;
    mode = text == "bootloader" ? Mode::Bootloader : Mode::Application;
    return true;
}

// REQ:NTH[:COUNT]; REQ is a bRequest number or "any".
bool parseFaultRule(const QString &text, Fault fault, FaultRule &rule)
{
    const QStringList parts = text.split(':');
    if (parts.size() < 2 || parts.size() > 3)
        return false;
    long long request = -1, nth = 0, count = 1;
    const bool anyRequest = parts[0] == "any";
    if (!anyRequest && !parseNumber(parts[0], 0, 255, request))
        return false;
    if (!parseNumber(parts[1], 1, 1 << 30, nth))
        return false;
    if (parts.size() == 3 && !parseNumber(parts[2], 0, 1 << 30, count))
        return false;
    rule = {int(request), int(nth), int(count), fault};
    return true;
}

void addOptions(QCommandLineParser &parser)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions({
        {"help", ""},
        {"mode", "", "mode"},
        {"serial", "", "serial"},
        {"latency", "", "ms"},
        {"transfer-us-per-kib", "", "us"},
        {"page-program-ms", "", "ms"},
        {"restart-delay", "", "ms"},
        {"state-dir", "", "dir"},
        {"log", "", "file"},
        {"fail", "", "rule"},
        {"timeout", "", "rule"},
        {"short", "", "rule"},
        {"corrupt-page", "", "address"},
        {"vanish-after", "", "n"},
        {"restart-at-serial-read", "", "n"},
        {"no-return", ""},
        {"stay-in-application", ""},
        {"identity", "", "hex"},
        {"brand", "", "hex"},
        {"devices", "", "n"},
        {"permission-denied", ""},
        {"faults-on", "", "k"},
        {"plug", "", "k@ms"},
        {"unplug", "", "k@ms"},
        {"ports", "", "list"},
        {"serials", "", "list"},
        {"mode-of", "", "k:mode"},
    });
}

bool takeDeviceOptions(const QCommandLineParser &parser, SimOptions &options, QString &error)
{
    DeviceConfig &config = options.config;
    long long number = 0;
    if (parser.isSet("mode") && !parseMode(parser.value("mode"), config.mode))
        return error = "--mode takes bootloader or application", false;
    if (parser.isSet("serial")) {
        const QString serial = parser.value("serial");
        if (!QRegularExpression("^[0-9]{9}$").match(serial).hasMatch())
            return error = "--serial takes nine digits", false;
        config.serial = serial.toStdString();
    }
    if (parser.isSet("latency")) {
        if (!parseNumber(parser.value("latency"), 0, 60000, number))
            return error = "--latency takes milliseconds", false;
        config.latencyMs = int(number);
    }
    if (parser.isSet("transfer-us-per-kib")) {
        if (!parseNumber(parser.value("transfer-us-per-kib"), 0, 1000000, number))
            return error = "--transfer-us-per-kib takes microseconds", false;
        config.transferUsPerKiB = int(number);
    }
    if (parser.isSet("page-program-ms")) {
        if (!parseNumber(parser.value("page-program-ms"), 0, 60000, number))
            return error = "--page-program-ms takes milliseconds", false;
        config.pageProgramMs = int(number);
    }
    if (parser.isSet("restart-delay")) {
        if (!parseNumber(parser.value("restart-delay"), 0, 600000, number))
            return error = "--restart-delay takes milliseconds", false;
        config.restartDelayMs = int(number);
    }
    if (parser.isSet("identity")) {
        if (!parseHex(parser.value("identity"), 0xFFFF, number))
            return error = "--identity takes a 16-bit hexadecimal word", false;
        config.identity = uint16_t(number);
    }
    if (parser.isSet("brand")) {
        if (!parseHex(parser.value("brand"), 0xFFFF, number))
            return error = "--brand takes a 16-bit hexadecimal word", false;
        config.brand = uint16_t(number);
    }
    config.comesBackAfterRestart = !parser.isSet("no-return");
    config.staysInApplication = parser.isSet("stay-in-application");
    return true;
}

bool takeFaultOptions(const QCommandLineParser &parser, SimOptions &options, QString &error)
{
    for (const FaultOption &option : FaultOptions) {
        for (const QString &value : parser.values(option.name)) {
            FaultRule rule;
            if (!parseFaultRule(value, option.fault, rule))
                return error = QString("--%1 takes REQ:NTH[:COUNT]").arg(option.name), false;
            options.faults.push_back(rule);
        }
    }
    long long number = 0;
    if (parser.isSet("vanish-after")) {
        if (!parseNumber(parser.value("vanish-after"), 0, 1 << 30, number))
            return error = "--vanish-after takes a request count", false;
        options.faults.push_back({-1, int(number) + 1, 1, Fault::Vanish});
    }
    if (parser.isSet("restart-at-serial-read") &&
        !parseNumber(parser.value("restart-at-serial-read"), 1, 1 << 30, number))
        return error = "--restart-at-serial-read takes a read count", false;
    options.restartAtSerialRead = parser.isSet("restart-at-serial-read") ? int(number) : 0;
    for (const QString &value : parser.values("corrupt-page")) {
        if (!parseHex(value, 0xFFFFFFFF, number))
            return error = "--corrupt-page takes a hexadecimal address", false;
        options.corruptPages.push_back(uint32_t(number));
    }
    return true;
}

// K@MS: device K (1 to the number of devices) at MS milliseconds.
bool parsePlugEvent(const QString &text, bool plug, int devices, PlugEvent &event)
{
    const QStringList parts = text.split('@');
    long long device = 0, atMs = 0;
    if (parts.size() != 2 || !parseNumber(parts[0], 1, devices, device) ||
        !parseNumber(parts[1], 0, 3600000, atMs))
        return false;
    event = {int(device), int(atMs), plug};
    return true;
}

bool takePlugScript(const QCommandLineParser &parser, SimOptions &options, QString &error)
{
    for (const char *name : {"plug", "unplug"}) {
        for (const QString &value : parser.values(name)) {
            PlugEvent event;
            if (!parsePlugEvent(value, QString(name) == "plug", options.devices, event))
                return error = QString("--%1 takes K@MS, K a device from 1 to --devices").arg(name),
                       false;
            options.plugScript.push_back(event);
        }
    }
    std::stable_sort(options.plugScript.begin(), options.plugScript.end(),
                     [](const PlugEvent &a, const PlugEvent &b) { return a.atMs < b.atMs; });
    return true;
}

// --ports, --serials and --mode-of: one value per device, or a device of the --devices.
bool takePerDeviceOptions(const QCommandLineParser &parser, SimOptions &options, QString &error)
{
    const int devices = options.devices;
    if (parser.isSet("ports")) {
        options.ports = parser.value("ports").split(',');
        if (options.ports.size() != devices)
            return error = QString("--ports takes one port per device (--devices %1)").arg(devices),
                   false;
        for (int i = 0; i < devices; ++i) {
            const std::string port = options.ports[i].toStdString();
            if (!SimulatedBus::validPort(port))
                return error = QString("--ports: '%1' is no port like 1-1.4 (bus-port[.port...])")
                                   .arg(options.ports[i]),
                       false;
            for (int j = 0; j < i; ++j) {
                const QString &other = options.ports[j];
                if (other == options.ports[i])
                    return error = QString("--ports: %1 is given twice").arg(other), false;
                if (SimulatedBus::portsCollide(other.toStdString(), port))
                    return error = QString("--ports: %1 and %2 are one behind the other; a "
                                           "KR960 is no hub")
                                       .arg(other, options.ports[i]),
                           false;
            }
        }
    }
    if (parser.isSet("serials")) {
        if (parser.isSet("serial"))
            return error = "--serial and --serials exclude each other", false;
        options.serials = parser.value("serials").split(',');
        static const QRegularExpression nineDigits("^[0-9]{9}$");
        if (options.serials.size() != devices ||
            !std::all_of(options.serials.begin(), options.serials.end(),
                         [](const QString &serial) { return nineDigits.match(serial).hasMatch(); }))
            return error =
                       QString("--serials takes one nine-digit serial per device (--devices %1)")
                           .arg(devices),
                   false;
    }
    for (const QString &value : parser.values("mode-of")) {
        long long device = 0;
        Mode mode = Mode::Bootloader;
        if (value.count(':') != 1 || !parseNumber(value.section(':', 0, 0), 1, devices, device) ||
            !parseMode(value.section(':', 1), mode))
            return error = "--mode-of takes K:MODE, K a device from 1 to --devices and MODE "
                           "bootloader or application",
                   false;
        options.modeOf[int(device)] = mode;
    }
    return true;
}

} // namespace

bool startsUnplugged(const SimOptions &options, int device)
{
    for (const PlugEvent &event : options.plugScript)
        if (event.device == device)
            return event.plug;
    return false;
}

bool parseSimOptions(const QStringList &arguments, SimOptions &options, QString &error)
{
    QCommandLineParser parser;
    addOptions(parser);
    if (!parser.parse(arguments))
        return error = parser.errorText(), false;
    options.helpRequested = parser.isSet("help");
    if (options.helpRequested)
        return true;
    if (!takeDeviceOptions(parser, options, error) || !takeFaultOptions(parser, options, error))
        return false;
    long long number = 1;
    if (parser.isSet("devices") && !parseNumber(parser.value("devices"), 0, 16, number))
        return error = "--devices takes 0 to 16", false;
    options.devices = int(number);
    if (!takePlugScript(parser, options, error) || !takePerDeviceOptions(parser, options, error))
        return false;
    if (parser.isSet("faults-on")) {
        if (!parseNumber(parser.value("faults-on"), 1, options.devices, number))
            return error = "--faults-on takes a device from 1 to --devices", false;
        options.faultDevice = int(number);
    }
    options.permissionDenied = parser.isSet("permission-denied");
    options.stateDirectory = parser.value("state-dir");
    options.logFile = parser.value("log");
    options.command = parser.positionalArguments();
    if (options.command.isEmpty())
        return error = "no command given after --", false;
    return true;
}

QString simUsage()
{
    return QStringLiteral(
        "Usage: mv604-sim [options] -- COMMAND [ARGS...]\n"
        "Runs COMMAND with a simulated KR960 on its USB bus (libusb-0.1 through umockdev)\n"
        "and returns its exit code.\n\n"
        "  --mode bootloader|application  mode at start (bootloader)\n"
        "  --serial NNNNNNNNN             production serial (264900001)\n"
        "  --latency MS                   added to every control request\n"
        "  --transfer-us-per-kib US       data stage time per KiB of control data (0)\n"
        "  --page-program-ms MS           time to program a page: request 3 answers after it (0)\n"
        "  --restart-delay MS             time off the bus after request 4 (300)\n"
        "  --state-dir DIR                load internal-flash.bin and external-flash.bin from\n"
        "                                 DIR at start, save them at exit\n"
        "  --log FILE                     one line per control request\n"
        "  --fail REQ:NTH[:COUNT]         stall the NTH request REQ (a number or 'any'),\n"
        "                                 COUNT in a row (1; 0 for ever)\n"
        "  --timeout REQ:NTH[:COUNT]      let it time out (-110)\n"
        "  --short REQ:NTH[:COUNT]        answer or take one byte fewer\n"
        "  --corrupt-page ADDR            reads of that page come back with one byte flipped\n"
        "  --vanish-after N               leave the bus at vendor request N+1\n"
        "  --restart-at-serial-read N     restart instead of answering the Nth serial read\n"
        "  --no-return                    do not come back after request 4\n"
        "  --stay-in-application          restart into the application again\n"
        "  --identity HEX, --brand HEX    answers to requests 0xFF and 0xFE (0115, 0000)\n"
        "  --devices N                    N devices (0: an empty bus), serials counting up from "
        "--serial\n"
        "  --ports P1,P2,...              USB ports of devices 1..N, as Linux names them: bus,\n"
        "                                 then hub ports (1-1.1, 1-1.2, ...; e.g. 1-1.4, 2-3.1)\n"
        "  --serials S1,S2,...            serials of devices 1..N, one each (repeats allowed)\n"
        "  --mode-of K:MODE               device K starts in MODE, the others in --mode\n"
        "                                 (repeatable)\n"
        "  --permission-denied            usbfs ioctls fail with EPERM, as without a udev rule\n"
        "  --faults-on K                  the fault knobs above and --permission-denied hit\n"
        "                                 device K only\n"
        "  --plug K@MS, --unplug K@MS     hot-plug script: device K joins or leaves the bus\n"
        "                                 MS ms after COMMAND starts (repeatable); a device\n"
        "                                 whose first step is --plug starts off the bus\n"
        "  --help                         this text\n");
}

} // namespace kr960sim
