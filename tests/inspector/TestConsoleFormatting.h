#pragma once

#include <QObject>

// Declared apart from its cases: the cases hold JSON samples in raw string literals, which moc cannot read.
class TestConsoleFormatting : public QObject {
    Q_OBJECT

private slots:
    void fullMessage();
    void uncaughtExceptionUsesText();
    void mistypedFieldsCountAsAbsent_data();
    void mistypedFieldsCountAsAbsent();
    void unicodeAndEscapesSurvive();
    void render_data();
    void render();
    void substituteConsumesFromTheFront();
    void describe_data();
    void describe();
    void stacks_data();
    void stacks();
    void references();
    void trimmedNumbers_data();
    void trimmedNumbers();
    void functionNames_data();
    void functionNames();
};
