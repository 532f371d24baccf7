#include "platform/data_protection.h"

#include "logger.h"

#if defined(Q_OS_WIN)
#include "platform/windows/dpapi_data_protection.h"

std::unique_ptr<IDataProtection> createDataProtection()
{
    return std::make_unique<DpapiDataProtection>();
}
#else
#include "platform/user_data_protection.h"

std::unique_ptr<IDataProtection> createDataProtection()
{
    auto protection = std::make_unique<UserDataProtection>();
    if (!protection->hasMachineId()) {
        SPDLOG_ERROR("数据保护: 无法读取本机标识");
    }
    return protection;
}
#endif
