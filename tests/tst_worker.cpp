#include "core/job/Worker.h"

#include <QElapsedTimer>
#include <QtTest>
#include <future>

namespace {

// Runs the given body on its thread; started by the constructor as real jobs are.
class BodyWorker : public Worker
{
public:
    explicit BodyWorker(std::function<int(BodyWorker &)> body, bool startThread = true)
        : Worker(nullptr), m_body(std::move(body))
    {
        if (startThread)
            start();
    }

    int run() override { return m_body(*this); }

private:
    std::function<int(BodyWorker &)> m_body;
};

// The base's run(), reachable without starting a thread.
class PlainWorker : public Worker
{
public:
    PlainWorker() : Worker(nullptr) {}
};

} // namespace

class tst_Worker : public QObject
{
    Q_OBJECT

private slots:
    void finishesAfterRun_data();
    void finishesAfterRun();
    void finishedOnlyAfterRunReturned();
    void neverStartedDeletesAtOnce();
    void baseRunReturnsZero();
};

void tst_Worker::finishesAfterRun_data()
{
    QTest::addColumn<int>("codeSet");
    QTest::addColumn<int>("expectedCode");

    // The value run() returns is not the end code; resultCode is.
    QTest::newRow("run sets nothing") << 0 << 0;
    QTest::newRow("run sets a failure") << -25 << -25;
    QTest::newRow("run sets a state") << 2 << 2;
}

void tst_Worker::finishesAfterRun()
{
    QFETCH(int, codeSet);
    QFETCH(int, expectedCode);

    BodyWorker job([codeSet](BodyWorker &self) {
        if (codeSet != 0)
            self.resultCode = codeSet;
        return 77;
    });
    QTRY_VERIFY(job.isFinished());
    QCOMPARE(job.resultCode.load(), expectedCode);
    QCOMPARE(job.stopRequested.load(), 0);
}

void tst_Worker::finishedOnlyAfterRunReturned()
{
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto job = std::make_unique<BodyWorker>([released](BodyWorker &self) {
        self.progress = 10;
        released.wait();
        self.progress = 100;
        self.progressTotal = 100;
        self.resultCode = 2;
        return 0;
    });
    QTRY_COMPARE(job->progress.load(), 10);
    QVERIFY(!job->waitFinished(50));
    QVERIFY(!job->isFinished());

    job->requestStop(); // only a request: run() decides when to end
    QVERIFY(job->stopping());
    release.set_value();
    QVERIFY(job->waitFinished(Worker::JoinTimeoutMs));
    // What run() wrote is visible once `finished` is.
    QCOMPARE(job->progress.load(), 100);
    QCOMPARE(job->progressTotal.load(), 100);
    QCOMPARE(job->resultCode.load(), 2);

    QElapsedTimer timer;
    timer.start();
    job.reset();
    QVERIFY(timer.elapsed() < 5000);
}

void tst_Worker::neverStartedDeletesAtOnce()
{
    QElapsedTimer timer;
    timer.start();
    {
        BodyWorker job([](BodyWorker &) { return 0; }, false);
        QVERIFY(!job.isFinished());
    }
    QVERIFY(timer.elapsed() < 5000);
}

void tst_Worker::baseRunReturnsZero()
{
    PlainWorker job;
    QCOMPARE(job.run(), 0);
    QCOMPARE(job.resultCode.load(), 0);
    QCOMPARE(job.progress.load(), 0);
    QCOMPARE(job.progressTotal.load(), 0);
    QCOMPARE(job.finished.load(), 0);
}

QTEST_GUILESS_MAIN(tst_Worker)
#include "tst_worker.moc"
