#include "ui/main_window_style.h"

#include <QPushButton>

QString mainWindowStyleSheet()
{
    return QStringLiteral(R"(
QWidget {
    font-family: "Microsoft YaHei UI", "Noto Sans CJK SC";
    font-size: 10pt;
    color: #13233b;
}
QMainWindow, QWidget#centralPage, QStatusBar {
    background: #eef2f8;
}
QStatusBar QLabel {
    color: #475569;
    padding: 0 6px;
}
QFrame#heroCard {
    background: #ffffff;
    border: 1px solid #d8e1ef;
    border-radius: 12px;
}
QLabel#brandMark {
    background: #2468df;
    color: #ffffff;
    border-radius: 14px;
    font-size: 19pt;
    font-weight: 700;
}
QLabel#pageTitle {
    font-size: 16pt;
    font-weight: 700;
}
QLabel#pageSubtitle {
    color: #5b6b82;
}
QLabel#editionBadge {
    background: #edf7ff;
    color: #0767a8;
    border: 1px solid #b9dcf5;
    border-radius: 10px;
    padding: 3px 10px;
    font-weight: 600;
}
QFrame#memberCard {
    background: #f5f8fd;
    border: 1px solid #d8e1ef;
    border-radius: 10px;
}
QLabel#memberTitle {
    color: #5b6b82;
    font-size: 9pt;
}
QLabel#memberName {
    font-weight: 600;
}
QFrame#sidebarCard {
    background: #ffffff;
    border: 1px solid #d8e1ef;
    border-radius: 10px;
}
QLabel#accelerationLabel {
    color: #5b6b82;
}
QPushButton {
    background: #ffffff;
    border: 1px solid #c9d4e5;
    border-radius: 6px;
    padding: 5px 12px;
    color: #1f2f46;
}
QPushButton:hover {
    background: #f2f6fd;
    border-color: #9fb4d6;
}
QPushButton:pressed {
    background: #e4ecf9;
}
QPushButton:disabled {
    color: #9aa7b8;
    background: #f4f6fa;
    border-color: #dde3ec;
}
QPushButton[role="primary"] {
    background: #2468df;
    color: #ffffff;
    border-color: #2468df;
}
QPushButton[role="primary"]:hover {
    background: #1d59c2;
    border-color: #1d59c2;
}
QPushButton[role="accent"] {
    background: #edf7ff;
    color: #0767a8;
    border-color: #b9dcf5;
}
QPushButton[role="danger"] {
    background: #fff8f7;
    color: #b42318;
    border-color: #f3c6c1;
}
QPushButton#importButton {
    padding-right: 24px;
}
QPushButton::menu-indicator {
    subcontrol-origin: padding;
    subcontrol-position: center right;
    right: 8px;
}
QLineEdit, QComboBox {
    background: #ffffff;
    border: 1px solid #c9d4e5;
    border-radius: 6px;
    padding: 4px 8px;
}
QLineEdit:focus, QComboBox:focus {
    border-color: #4b7bec;
}
QTableView, QTreeWidget {
    background: #ffffff;
    alternate-background-color: #f8faff;
    border: 1px solid #d8e1ef;
    border-radius: 8px;
    gridline-color: #e6ecf5;
    selection-background-color: #dce8ff;
    selection-color: #13233b;
}
QTreeWidget {
    border: none;
}
QTableView::item:selected, QTreeWidget::item:selected {
    background: #dce8ff;
    color: #13233b;
}
QHeaderView::section {
    background: #f3f6fb;
    color: #334155;
    border: none;
    border-right: 1px solid #e2e8f0;
    border-bottom: 1px solid #d8e1ef;
    padding: 5px 6px;
    font-weight: 600;
}
QMenu {
    background: #ffffff;
    border: 1px solid #c9d4e5;
}
QMenu::item {
    padding: 5px 22px;
}
QMenu::item:selected {
    background: #dce8ff;
}
QMenu::item:disabled {
    color: #9aa7b8;
}
)");
}

QPushButton* makeStyledButton(QWidget* parent, const char* objectName, const QString& text,
                              const QString& toolTip, const char* role)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(objectName));
    if (!toolTip.isEmpty()) {
        button->setToolTip(toolTip);
    }
    if (role != nullptr) {
        button->setProperty("role", QLatin1String(role));
    }
    return button;
}
