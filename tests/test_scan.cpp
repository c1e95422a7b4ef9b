#include <QtTest>
class Placeholder : public QObject { Q_OBJECT private slots: void none() {} };
QTEST_APPLESS_MAIN(Placeholder)
#include "test_scan.moc"
