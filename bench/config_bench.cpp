// Configuration work at start-up: one load of the settings file (read, parse, the read rules
// for the globals and all 200 slots), for a normal file of 200 ports and for files padded to
// 1 MB and to the most that is read (4 MiB) with keys the program does not know. Median and
// worst of several loads; and one save of a port into the 200-slot file.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <time.h>
#include <vector>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "config/ConfigStore.h"

namespace {

using Clock = std::chrono::steady_clock;

// This process's CPU time: on a busy machine the wall time also counts other processes' turns.
double CpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

QByteArray NormalFile()
{
    QByteArray text = "[General]\nSocketPort=3700\nOnlyOnePort=0\nVPortNo=5\nPassword=pw\n\n";
    for (int slot = 1; slot <= ConfigStore::SlotCount; ++slot) {
        text += "[" + QByteArray::number(slot) + "]\nCode=D" + QByteArray::number(slot)
                + "\nLoginInterval=300\nPeerIP=10.0.0." + QByteArray::number(slot % 250)
                + "\nPortNumber=" + QByteArray::number(slot) + "\nUseFixedIP=0\nUseTcp=0\n\n";
    }
    return text;
}

// The normal file with unknown keys spread over the slots until it reaches size bytes.
QByteArray PaddedFile(qsizetype size)
{
    QByteArray text = NormalFile();
    for (int n = 0; text.size() < size; ++n)
        text += "[" + QByteArray::number(n % 200 + 1) + "]\nJunk" + QByteArray::number(n)
                + "=\"some, text\\tthat nobody reads; " + QByteArray(40, 'x') + "\"\n";
    return text;
}

void Measure(const char* what, const QByteArray& text, int rounds)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/Torvane/HOLBRN.conf";
    QDir().mkpath(dir.path() + "/Torvane");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        return;
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);  // else each load says it is open to others
    file.close();
    const ConfigStore store(path.toStdString());
    std::vector<double> ms, cpuMs;
    int ports = 0;
    for (int r = 0; r < rounds; ++r) {
        const double cpuStart = CpuMs();
        const auto start = Clock::now();
        const StoredConfig stored = store.Load();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        cpuMs.push_back(CpuMs() - cpuStart);
        ports = static_cast<int>(std::count_if(std::begin(stored.ports), std::end(stored.ports),
                                               [](const auto& p) { return p.has_value(); }));
    }
    std::sort(ms.begin(), ms.end());
    std::sort(cpuMs.begin(), cpuMs.end());
    std::printf("%-26s %8.1f KiB  %3d ports  median %7.2f ms (CPU %7.2f ms)  worst %7.2f ms\n", what,
                text.size() / 1024.0, ports, ms[ms.size() / 2], cpuMs[cpuMs.size() / 2], ms.back());
}

// One change of a port in the 200-slot file: read, parse, the port's lines rewritten, the new
// file written, synced and renamed into place.
void MeasureSave(int rounds)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/Torvane/HOLBRN.conf";
    QDir().mkpath(dir.path() + "/Torvane");
    QFile file(path);
    const QByteArray text = NormalFile();
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        return;
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    file.close();
    const ConfigStore store(path.toStdString());
    const StoredConfig stored = store.Load();
    const auto& groups = stored.ports;
    std::vector<double> ms, cpuMs;
    for (int r = 0; r < rounds; ++r) {
        PortConfig port = *groups[r % ConfigStore::SlotCount];
        port.LoginInterval = 60 + r;
        const double cpuStart = CpuMs();
        const auto start = Clock::now();
        if (store.SavePortConfig(r % ConfigStore::SlotCount, port))
            return;
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        cpuMs.push_back(CpuMs() - cpuStart);
    }
    std::sort(ms.begin(), ms.end());
    std::sort(cpuMs.begin(), cpuMs.end());
    std::printf("%-26s %8.1f KiB             median %7.2f ms (CPU %7.2f ms)  worst %7.2f ms\n",
                "one port saved (synced)", text.size() / 1024.0, ms[ms.size() / 2], cpuMs[cpuMs.size() / 2], ms.back());
}

}  // namespace

int main()
{
    Measure("200 slots", NormalFile(), 50);
    Measure("1 MB with unknown keys", PaddedFile(1 << 20), 20);
    // A line's length below the limit: PaddedFile ends on a whole line past its size.
    Measure("4 MB with unknown keys", PaddedFile(ConfigFile::MaxBytes - 128), 5);
    MeasureSave(50);
    return 0;
}
