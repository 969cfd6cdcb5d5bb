#pragma once

#include <QWidget>

class QLabel;
class QToolButton;

// A titled command for the user to copy: the title with a copy button at its right, and below it the
// command in a small monospaced font, selectable, on a rounded field in the text background colour.
class CommandBlock : public QWidget {
    Q_OBJECT

public:
    explicit CommandBlock(const QString& title, QWidget* parent = nullptr);

    QString text() const;
    void setText(const QString& text);

    // Replaces the clipboard's contents with the command as plain text.
    void copy() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* m_command;
    QToolButton* m_copy;
};
