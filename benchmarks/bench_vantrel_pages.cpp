// Times every VantrelPageReader function on crafted 8 MiB pages, each one piece that starts one of the
// reader's patterns repeated without the rest the pattern needs (and random text of the characters
// the patterns look for). The reader runs on the GUI thread, so its worst page is how long a hostile
// portal can hold the window up. Prints each function's time on each page and, per function, the worst
// page as a summary line.
//
//     bench_vantrel_pages

#include "network/vantrel_page_reader.h"
#include "process_figures.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>

#include <cstdio>
#include <functional>
#include <utility>
#include <vector>

namespace {

using namespace ProcessFigures;

constexpr qsizetype kPageBytes = 8 * 1024 * 1024;

// `piece` repeated to 8 MiB of UTF-8.
QString repeated(const char* piece)
{
    const QString unit = QString::fromUtf8(piece);
    return unit.repeated(kPageBytes / qsizetype(qstrlen(piece)));
}

QString junk()
{
    QRandomGenerator random(20240611);
    const QString alphabet =
        QString::fromUtf8("<>/\"'=:&#;. \n0123456789abcdefxyzIDOSPortidhostservicedetail?alert");
    QString text(kPageBytes, Qt::Uninitialized);
    for (QChar& c : text)
        c = alphabet.at(random.bounded(alphabet.size()));
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const std::vector<std::pair<const char*, QString>> pages{
        {"alert openings", repeated("<div class=\"alert\">")},
        {"class values", repeated("class=\"alert ")},
        {"token names", repeated("name=\"token\" ")},
        {"token values", repeated("value=\"x\" ")},
        {"id labels", repeated("用户ID：<a ")},
        {"id labels and tags", repeated("ID:<b>")},
        {"display names", repeated("class=\"user-center_name\">")},
        {"open rows", repeated("<tr>")},
        {"muted names", repeated("<tr><small class=\"text-muted\">")},
        {"system labels", repeated("操作系统</span> OS ")},
        {"user cells", repeated("用户名</td><td>")},
        {"labels", repeated("Port: 到期时间：用户名 IP地址 已激活</span></section><section>")},
        {"copy fields", repeated("id=\"copyPwdContent\" id=\"copyOneIp\"")},
        {"raw fields", repeated("\"password\": \"\"username\": \"")},
        {"links", repeated("servicedetail?a=1 service?groupid")},
        {"storage calls", repeated("localStorage.setItem('jwt','")},
        {"entities", repeated("&#&amp;&#x")},
        {"random", junk()},
    };
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const std::vector<std::pair<const char*, std::function<void(const QString&, const QByteArray&)>>> readers{
        {"loginToken",
         [](const QString& page, const QByteArray&) {
             VantrelPageReader::loginToken(page);
         }},
        {"signInError",
         [](const QString& page, const QByteArray&) {
             VantrelPageReader::signInError(page);
         }},
        {"userId",
         [](const QString& page, const QByteArray&) {
             VantrelPageReader::userId(page);
         }},
        {"displayName",
         [](const QString& page, const QByteArray&) {
             VantrelPageReader::displayName(page);
         }},
        {"pageJwt",
         [](const QString& page, const QByteArray&) {
             VantrelPageReader::pageJwt(page);
         }},
        {"groupIds",
         [](const QString& page, const QByteArray&) {
             VantrelPageReader::groupIds(page);
         }},
        {"listHints",
         [](const QString& page, const QByteArray&) {
             VantrelPageReader::listHints(page);
         }},
        {"serverIds",
         [](const QString& page, const QByteArray&) {
             VantrelPageReader::serverIds(page);
         }},
        {"detailRecord",
         [now](const QString&, const QByteArray& body) {
             VantrelPageReader::detailRecord(QStringLiteral("1"), body, nullptr, now);
         }},
    };

    std::printf("%zu crafted pages of 8 MiB, %zu reader functions, one call each (ms)\n", pages.size(),
                readers.size());
    printSummary(QStringLiteral("page reader load average at start"), loadAverage());
    std::vector<double> worst(readers.size(), 0);
    std::vector<const char*> worstPage(readers.size(), "");
    for (const auto& [name, page] : pages) {
        const QByteArray body = page.toUtf8();
        std::printf("  %-20s", name);
        for (size_t i = 0; i < readers.size(); ++i) {
            QElapsedTimer timer;
            timer.start();
            readers[i].second(page, body);
            const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
            std::printf(" %s %7.1f", readers[i].first, ms);
            if (ms > worst[i]) {
                worst[i] = ms;
                worstPage[i] = name;
            }
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    for (size_t i = 0; i < readers.size(); ++i) {
        printSummary(
            QStringLiteral("page reader %1, worst 8 MiB page (ms)").arg(QLatin1String(readers[i].first)),
            QStringLiteral("%1 (%2)").arg(worst[i], 0, 'f', 1).arg(QLatin1String(worstPage[i])));
    }
    return 0;
}
