#include "platform/process_hardening.h"

#include <QStringList>

#include <cerrno>
#include <cstring>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

// Read at load time, before apply() can change it.
mode_t currentUmask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

mode_t g_originalUmask = currentUmask();

} // namespace

bool ProcessHardening::apply(QString* error)
{
    QStringList failures;
    const struct rlimit none = {0, 0};
    if (::setrlimit(RLIMIT_CORE, &none) != 0) {
        failures << QStringLiteral("core: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
    // Also keeps a core out of a system-wide handler (core_pattern pipes ignore RLIMIT_CORE).
    if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
        failures << QStringLiteral("dumpable: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
    ::umask(077);
    if (!failures.isEmpty() && error) {
        *error = failures.join(QStringLiteral("; "));
    }
    return failures.isEmpty();
}

mode_t ProcessHardening::originalUmask()
{
    return g_originalUmask;
}

mode_t ProcessHardening::publicFileMode()
{
    return 0666 & ~g_originalUmask;
}
