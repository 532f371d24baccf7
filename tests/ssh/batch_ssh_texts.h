#pragma once

#include <QString>

// The closing tally of a batch SSH run, as the user reads it.
inline QString batchTally(int total, int succeeded, int failed, int stopped)
{
    return QStringLiteral("全部结束（%1 台）：成功 %2 · 失败 %3 · 已停止 %4")
        .arg(total)
        .arg(succeeded)
        .arg(failed)
        .arg(stopped);
}
