#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>

// A second, independent connection to inspect or prepare a database file behind the manager.
class RawConnection
{
public:
    explicit RawConnection(const QString& path);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool isOpen() const { return m_open; }
    bool exec(const QString& statement, const QVariantList& values = {});
    // The first column of every row.
    QVariantList column(const QString& statement, const QVariantList& values = {});
    QVariant value(const QString& statement, const QVariantList& values = {});
    QStringList texts(const QString& statement, const QVariantList& values = {});
    QString text(const QString& statement, const QVariantList& values = {})
    {
        return value(statement, values).toString();
    }

private:
    QString m_name;
    bool m_open = false;
};
