#include "ui/remark_editor_delegate.h"

#include <QLineEdit>
#include <QTimer>

#include <algorithm>

namespace {

const QString kRemarkEditorStyle = QStringLiteral(
    "QLineEdit{background:#ffffff;color:#13233b;selection-background-color:#2468df;selection-color:#ffffff;"
    "border:2px solid #4b7bec;border-radius:5px;padding:2px 5px;font-size:10pt;}");

} // namespace

QWidget* RemarkEditorDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                                            const QModelIndex& index) const
{
    auto* editor = new QLineEdit(parent);
    editor->setObjectName(QStringLiteral("remarkEditor"));
    const QVariant cellFont = index.data(Qt::FontRole);
    editor->setFont(cellFont.canConvert<QFont>() ? cellFont.value<QFont>() : option.font);
    editor->setMinimumHeight(std::max(option.rect.height() - 2, 28));
    editor->setTextMargins(4, 0, 4, 0);
    editor->setStyleSheet(kRemarkEditorStyle);
    return editor;
}

void RemarkEditorDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const
{
    auto* lineEdit = qobject_cast<QLineEdit*>(editor);
    if (lineEdit == nullptr) {
        QStyledItemDelegate::setEditorData(editor, index);
        return;
    }
    lineEdit->setText(index.data(Qt::EditRole).toString());
    // The view focuses the editor only after this returns; select on the next turn.
    QTimer::singleShot(0, lineEdit, [lineEdit] {
        lineEdit->setFocus();
        lineEdit->selectAll();
    });
}
