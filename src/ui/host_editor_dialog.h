#pragma once

#include "storage/group.h"
#include "storage/remote.h"

#include <QDialog>
#include <QList>

#include <optional>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QSpinBox;

// Modal editor for one host, new or existing.
class HostEditorDialog : public QDialog
{
    Q_OBJECT
public:
    HostEditorDialog(QWidget* parent, const QList<Group>& groups, const QString& groupId,
                     const std::optional<Remote>& existing, bool showScope);

    // The host as entered, or nothing when the input is incomplete or invalid.
    std::optional<Remote> result() const;

    // Runs the dialog; on OK with invalid input warns "无法保存" and returns nothing.
    static std::optional<Remote> edit(QWidget* parent, const QList<Group>& groups, const QString& groupId,
                                      const std::optional<Remote>& existing, bool showScope);

private:
    void onProtocolChanged();

    std::optional<Remote> m_existing;
    QLineEdit* m_name = nullptr;
    QComboBox* m_protocol = nullptr;
    QLineEdit* m_host = nullptr;
    QSpinBox* m_port = nullptr;
    QLineEdit* m_username = nullptr;
    QLineEdit* m_password = nullptr;
    QLineEdit* m_remark = nullptr;
    QComboBox* m_group = nullptr;
    QComboBox* m_scope = nullptr;
    QCheckBox* m_legacy = nullptr;
};
