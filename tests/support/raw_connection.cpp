#include "support/raw_connection.h"

#include <QDebug>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

RawConnection::RawConnection(const QString& path)
    : m_name(QStringLiteral("raw-%1").arg(QUuid::createUuid().toString(QUuid::WithoutBraces)))
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    db.setDatabaseName(path);
    m_open = db.open();
}

RawConnection::~RawConnection()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_name);
}

bool RawConnection::exec(const QString& statement, const QVariantList& values)
{
    QSqlQuery query(QSqlDatabase::database(m_name, false));
    if (!query.prepare(statement)) {
        qWarning() << "prepare failed:" << statement << query.lastError().text();
        return false;
    }
    for (const QVariant& value : values) {
        query.addBindValue(value);
    }
    if (!query.exec()) {
        qWarning() << "exec failed:" << statement << query.lastError().text();
        return false;
    }
    return true;
}

QVariantList RawConnection::column(const QString& statement, const QVariantList& values)
{
    QVariantList result;
    QSqlQuery query(QSqlDatabase::database(m_name, false));
    query.prepare(statement);
    for (const QVariant& value : values) {
        query.addBindValue(value);
    }
    if (!query.exec()) {
        qWarning() << "query failed:" << statement << query.lastError().text();
        return result;
    }
    while (query.next()) {
        result.append(query.value(0));
    }
    return result;
}

QVariant RawConnection::value(const QString& statement, const QVariantList& values)
{
    const QVariantList rows = column(statement, values);
    return rows.isEmpty() ? QVariant() : rows.first();
}

QStringList RawConnection::texts(const QString& statement, const QVariantList& values)
{
    QStringList result;
    for (const QVariant& item : column(statement, values)) {
        result.append(item.toString());
    }
    return result;
}
