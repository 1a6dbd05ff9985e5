// mv604-sim: runs a program with simulated KR960s on its USB bus. The launcher itself stays
// outside umockdev's preload; only the child gets it.

#include "sim/plug_scheduler.h"
#include "sim/sim_options.h"
#include "sim/simulated_bus.h"
#include "sim/state_files.h"

#include <QFile>
#include <QStringList>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace kr960sim;

namespace
{

constexpr const char *PreloadLibrary = "libumockdev-preload.so.0";

volatile sig_atomic_t childPid = 0;

void forwardSignal(int signal)
{
    if (childPid > 0)
        ::kill(pid_t(childPid), signal);
}

// Run from a preloaded process (a test under umockdev), the launcher starts itself anew
// without the preload, which would otherwise serve its own testbed to itself.
void leavePreload(char **argv)
{
    const char *preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "libumockdev-preload"))
        return;
    ::unsetenv("LD_PRELOAD");
    ::unsetenv("UMOCKDEV_DIR");
    ::execv("/proc/self/exe", argv);
}

std::string serialPlus(const std::string &serial, int offset)
{
    char text[16];
    std::snprintf(text, sizeof text, "%09lld", std::atoll(serial.c_str()) + offset);
    return text;
}

QString describe(const RequestRecord &record)
{
    return QString::asprintf("bmRequestType=0x%02x bRequest=%d wValue=0x%04x wIndex=0x%04x "
                             "wLength=%d result=%d",
                             record.requestType, record.request, record.value, record.index,
                             record.length, record.result);
}

class RequestLog
{
public:
    bool open(const QString &path)
    {
        file.setFileName(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text);
    }
    void write(int deviceIndex, const QString &port, const RequestRecord &record)
    {
        std::lock_guard<std::mutex> guard(lock);
        const QString line =
            QString("device %1 %2 port=%3\n").arg(deviceIndex).arg(describe(record), port);
        file.write(line.toUtf8());
        file.flush();
    }

private:
    std::mutex lock;
    QFile file;
};

std::vector<std::shared_ptr<SimulatedKr960>> plugDevices(SimulatedBus &bus,
                                                         const SimOptions &options, RequestLog *log)
{
    std::vector<std::shared_ptr<SimulatedKr960>> devices;
    for (int index = 1; index <= options.devices; ++index) {
        DeviceConfig config = options.config;
        config.serial = options.serials.isEmpty() ? serialPlus(config.serial, index - 1)
                                                  : options.serials[index - 1].toStdString();
        const auto mode = options.modeOf.find(index);
        if (mode != options.modeOf.end())
            config.mode = mode->second;
        const std::string port =
            options.ports.isEmpty() ? std::string() : options.ports[index - 1].toStdString();
        auto plugged = bus.addDevice(config, port); // the child is not running yet
        if (!options.stateDirectory.isEmpty())
            loadDeviceState(*plugged, options.stateDirectory, index);
        const bool faulty = options.faultDevice == 0 || options.faultDevice == index;
        for (const FaultRule &rule : options.faults)
            if (faulty)
                plugged->addFault(rule);
        for (uint32_t page : options.corruptPages)
            if (faulty)
                plugged->corruptReadBack(page);
        if (faulty)
            plugged->restartAtSerialRead(options.restartAtSerialRead);
        bus.setPermissionDenied(plugged, options.permissionDenied && faulty);
        if (startsUnplugged(options, index))
            bus.unplug(plugged);
        if (log)
            plugged->setRequestListener(
                [log, index, port = QString::fromStdString(bus.port(plugged))](
                    const RequestRecord &record) { log->write(index, port, record); });
        devices.push_back(plugged);
    }
    return devices;
}

// The hot-plug script runs on its own thread, timed from the command's start.
void startPlugScript(PlugScheduler &script, SimulatedBus &bus, const SimOptions &options,
                     const std::vector<std::shared_ptr<SimulatedKr960>> &devices)
{
    for (const PlugEvent &event : options.plugScript) {
        const auto device = devices.at(size_t(event.device - 1));
        SimulatedBus *onBus = &bus;
        script.schedule(event.atMs, [onBus, device, plug = event.plug] {
            if (!plug)
                onBus->unplug(device);
            else if (onBus->deviceNumber(device) == 0)
                onBus->replug(device);
        });
    }
}

int runChild(const SimOptions &options, const std::string &root)
{
    const pid_t pid = ::fork();
    if (pid < 0)
        return 127;
    if (pid == 0) {
        ::setenv("LD_PRELOAD", PreloadLibrary, 1);
        ::setenv("UMOCKDEV_DIR", root.c_str(), 1);
        // A simulated bus is a host of its own: its boards' locks (keyed by port) must not meet
        // those of another simulated bus with the same port names.
        const std::string runtime = root + "/run";
        if (::mkdir(runtime.c_str(), 0700) == 0 || errno == EEXIST)
            ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        std::vector<QByteArray> words;
        for (const QString &word : options.command)
            words.push_back(word.toLocal8Bit());
        std::vector<char *> argv;
        for (QByteArray &word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        std::fprintf(stderr, "mv604-sim: cannot run %s: %s\n", argv[0], std::strerror(errno));
        ::_exit(127);
    }
    childPid = pid;
    std::signal(SIGINT, forwardSignal);
    std::signal(SIGTERM, forwardSignal);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    childPid = 0;
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

} // namespace

int main(int argc, char **argv)
{
    leavePreload(argv);
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    SimOptions options;
    QString error;
    if (!parseSimOptions(arguments, options, error)) {
        QTextStream(stderr) << "mv604-sim: " << error << "\n" << simUsage();
        return 2;
    }
    if (options.helpRequested) {
        QTextStream(stdout) << simUsage();
        return 0;
    }

    std::unique_ptr<RequestLog> log;
    if (!options.logFile.isEmpty()) {
        log = std::make_unique<RequestLog>();
        if (!log->open(options.logFile)) {
            QTextStream(stderr) << "mv604-sim: cannot write " << options.logFile << "\n";
            return 2;
        }
    }

    SimulatedBus bus;
    const auto devices = plugDevices(bus, options, log.get());
    auto script = std::make_unique<PlugScheduler>();
    startPlugScript(*script, bus, options, devices);
    const int exitCode = runChild(options, bus.rootDirectory());
    script.reset();
    for (size_t i = 0; i < devices.size(); ++i) {
        devices[i]->setRequestListener(nullptr);
        if (!options.stateDirectory.isEmpty() &&
            !saveDeviceState(*devices[i], options.stateDirectory, int(i) + 1))
            QTextStream(stderr) << "mv604-sim: cannot save the state in " << options.stateDirectory
                                << "\n";
    }
    return exitCode;
}
