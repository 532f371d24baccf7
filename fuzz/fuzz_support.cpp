#include "fuzz_support.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <spdlog/spdlog.h>

#include <cstdlib>

namespace {

QTemporaryDir* scratchDirectory()
{
    static QTemporaryDir directory;
    return &directory;
}

void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static int argc = 1;
    static char name[] = "nimbara-fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    spdlog::set_level(spdlog::level::off);
    qInstallMessageHandler(dropMessage);
    if (!scratchDirectory()->isValid()) {
        std::abort();
    }
    return 0;
}

QString FuzzSupport::writeInput(const uint8_t* data, size_t size, const QString& suffix)
{
    const QString path = scratchDirectory()->filePath(QStringLiteral("input.") + suffix);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size)) {
        std::abort(); // a harness fault, not a finding
    }
    return path;
}
