#pragma once

#include "storage/group.h"
#include "storage/remote.h"

#include <QDialog>
#include <QList>

#include <functional>
#include <optional>
#include <utility>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

// How the editor lets the stored password be seen: shown from the start (the show_password setting), or
// behind its "显示" button, which asks `confirm` first (no confirmation when it is empty).
struct HostPasswordReveal
{
    bool shown = false;
    std::function<bool(QWidget* parent)> confirm;
};

// Modal editor for one host, new or existing.
class HostEditorDialog : public QDialog
{
    Q_OBJECT
public:
    using PasswordReveal = HostPasswordReveal;

    HostEditorDialog(QWidget* parent, const QList<Group>& groups, const QString& groupId,
                     const std::optional<Remote>& existing, bool showScope, PasswordReveal reveal = {});

    // The host as entered, or nothing when the input is incomplete or invalid.
    std::optional<Remote> result() const;

    // Runs the dialog; returns the host once the user confirmed valid input, nothing on cancel.
    static std::optional<Remote> edit(QWidget* parent, const QList<Group>& groups, const QString& groupId,
                                      const std::optional<Remote>& existing, bool showScope,
                                      PasswordReveal reveal = {});

    // Closes only on valid input; otherwise marks the fields at fault and stays open.
    void accept() override;

    // The dynamic property that marks a field whose input failed the check.
    static constexpr const char* kInvalidProperty = "invalid";

private:
    void onProtocolChanged();
    void onRevealToggled(bool reveal);
    void setInvalid(QWidget* field, const QString& reason);
    void clearInvalid(QWidget* field);
    void showReasons();

    std::optional<Remote> m_existing;
    QLineEdit* m_name = nullptr;
    QComboBox* m_protocol = nullptr;
    QLineEdit* m_host = nullptr;
    QSpinBox* m_port = nullptr;
    QLineEdit* m_username = nullptr;
    QLineEdit* m_password = nullptr;
    QPushButton* m_reveal = nullptr;
    PasswordReveal m_revealRule;
    QLineEdit* m_remark = nullptr;
    QComboBox* m_group = nullptr;
    QComboBox* m_scope = nullptr;
    QCheckBox* m_legacy = nullptr;
    QLabel* m_error = nullptr;
    QList<std::pair<QWidget*, QString>> m_invalid; // marked fields with their reasons, in form order
};
