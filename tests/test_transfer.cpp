#include <QtTest>
class Placeholder : public QObject { Q_OBJECT private slots: void none() {} };
QTEST_GUILESS_MAIN(Placeholder)
#include "test_transfer.moc"
