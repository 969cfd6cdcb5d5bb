#pragma once

#include <QObject>

// Declared apart from its cases: the cases hold JSON samples in raw string literals, which moc cannot read.
class TestInspectorJson : public QObject {
    Q_OBJECT

private slots:
    void ordinaryMessage();
    void malformedInputGivesNothing();
    void oversizedIntegersReadAsDoubles();
    void widening_data();
    void widening();
    void paddedInputIsParsedInPlace();
};
