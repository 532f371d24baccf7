// Host lists as the import reads them: any bytes (any encoding, separators, quotes, headers).
#include "import/host_import_parser.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    const HostParseResult result = HostImportParser::parse(bytes, QStringLiteral("g"));
    for (const Remote& remote : result.remotes) {
        // Every host read has an address, a port in range and no NUL that a C string would cut at.
        const QChar nul(u'\0');
        if (remote.host.isEmpty() || remote.port < 1 || remote.port > 65535 || remote.host.contains(nul) ||
            remote.username.contains(nul) || remote.password.contains(nul)) {
            std::abort();
        }
    }
    QStringList errors;
    HostImportParser::tokenize(HostImportParser::decode(bytes), &errors);
    return 0;
}
