// The listener thread's hand-off to the UI thread: the work runs there and Deliver returns only
// after it ran; several listeners at once each get their work run exactly once; Stop releases
// every listener still waiting, and neither their work nor work delivered later runs.
//
// The UI thread is this test's main thread. The order of events is fixed by latches, by the
// hand-off's own "posted" signal (connected directly, so it runs on the listener thread once the
// work is queued) and by the listeners quitting the UI's event loop when they are done; nothing
// waits for time to pass.

#include <QCoreApplication>
#include <QEventLoop>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <latch>
#include <memory>
#include <thread>
#include <vector>

#include "server/app/CNewOrmServerDlg.h"

using uv::server::UiHandOff;

namespace {

// Listener threads on one hand-off. Whatever way a test leaves, the hand-off is stopped first,
// which releases a listener still waiting in Deliver, and then every thread is joined.
class Listeners {
 public:
  explicit Listeners(UiHandOff& handOff) : handOff_(handOff) {}
  Listeners(const Listeners&) = delete;
  Listeners& operator=(const Listeners&) = delete;
  ~Listeners() {
    handOff_.Stop();
    JoinAll();
  }

  template <class F>
  void Start(F body) {
    threads_.emplace_back(std::move(body));
  }
  void JoinAll() {
    for (auto& thread : threads_) thread.join();
    threads_.clear();
  }

 private:
  UiHandOff& handOff_;
  std::vector<std::thread> threads_;
};

// Runs the UI thread's event loop until `finished` listeners have called Done() (each from its
// own thread). The loop also ends when a listener never finishes, so that a broken hand-off fails
// the test instead of hanging it; the bound is far beyond any run, so it never decides a result.
class UiLoop {
 public:
  explicit UiLoop(int finished) : left_(finished) {}

  void Done() {
    if (left_.fetch_sub(1) == 1) QMetaObject::invokeMethod(&loop_, "quit", Qt::QueuedConnection);
  }
  // True when every listener finished.
  bool Run() {
    QTimer::singleShot(kGiveUpMs, &loop_, &QEventLoop::quit);
    if (left_.load() > 0) loop_.exec();
    return left_.load() == 0;
  }

 private:
  static constexpr int kGiveUpMs = 120000;
  std::atomic<int> left_;
  QEventLoop loop_;
};

}  // namespace

class UiHandOffTest : public QObject {
  Q_OBJECT

 private slots:
  void workRunsOnTheUiThreadBeforeDeliverReturns() {
    UiHandOff handOff;
    UiLoop ui(1);
    QThread* ranOn = nullptr;
    std::atomic<bool> returned = false;
    bool returnedBeforeWork = true;
    bool delivered = false;
    bool ranBeforeReturn = false;
    {
      Listeners listeners(handOff);
      listeners.Start([&] {
        delivered = handOff.Deliver([&] {
          ranOn = QThread::currentThread();
          returnedBeforeWork = returned.load();
        });
        ranBeforeReturn = ranOn != nullptr;
        returned = true;
        ui.Done();
      });
      QVERIFY(ui.Run());
      listeners.JoinAll();
    }
    QVERIFY(delivered);
    QCOMPARE(ranOn, QCoreApplication::instance()->thread());
    QVERIFY(!returnedBeforeWork);  // the listener still waited while the work ran
    QVERIFY(ranBeforeReturn);
  }

  void everyListenerOfManyGetsItsWorkRunOnce() {
    constexpr int kListeners = 8;
    constexpr int kEach = 200;
    UiHandOff handOff;
    UiLoop ui(kListeners);
    std::latch start(kListeners);
    // Touched only by the work, that is only on the UI thread.
    std::vector<int> runs(kListeners * kEach, 0);
    int offUiThread = 0;
    std::vector<int> refused(kListeners, 0);
    {
      Listeners listeners(handOff);
      for (int l = 0; l < kListeners; ++l) {
        listeners.Start([&, l] {
          start.arrive_and_wait();  // all deliver at once
          for (int i = 0; i < kEach; ++i) {
            const bool delivered = handOff.Deliver([&, slot = l * kEach + i] {
              ++runs[static_cast<std::size_t>(slot)];
              if (QThread::currentThread() != QCoreApplication::instance()->thread()) {
                ++offUiThread;
              }
            });
            if (!delivered) ++refused[static_cast<std::size_t>(l)];
          }
          ui.Done();
        });
      }
      QVERIFY(ui.Run());
      listeners.JoinAll();
    }
    QCOMPARE(refused, std::vector<int>(kListeners, 0));
    QCOMPARE(offUiThread, 0);
    QCOMPARE(runs, std::vector<int>(kListeners * kEach, 1));
  }

  // Stop while listeners wait: each gets false, and their queued work is dropped, not run once
  // the UI thread comes to it.
  void stopReleasesWaitingListenersAndDropsTheirWork() {
    constexpr int kListeners = 4;
    UiHandOff handOff;
    std::latch queued(kListeners);
    connect(
        &handOff, &UiHandOff::posted, &handOff, [&] { queued.count_down(); }, Qt::DirectConnection);
    std::atomic<int> ran = 0;
    std::vector<int> delivered(kListeners, -1);
    {
      Listeners listeners(handOff);
      for (int l = 0; l < kListeners; ++l) {
        listeners.Start([&, l] {
          delivered[static_cast<std::size_t>(l)] = handOff.Deliver([&] { ++ran; }) ? 1 : 0;
        });
      }
      // Every work is queued and no event has been handled here, so none of it can have run.
      queued.wait();
      handOff.Stop();
      listeners.JoinAll();
    }
    QCOMPARE(delivered, std::vector<int>(kListeners, 0));
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    QCOMPARE(ran.load(), 0);
  }

  void deliverAfterStopIsRefusedWithoutWaiting() {
    UiHandOff handOff;
    std::atomic<int> posted = 0;
    connect(
        &handOff, &UiHandOff::posted, &handOff, [&] { ++posted; }, Qt::DirectConnection);
    handOff.Stop();
    std::atomic<int> ran = 0;
    int delivered = -1;
    {
      // The UI thread handles no event until the listener is joined: a Deliver that waited for
      // the work would never return.
      Listeners listeners(handOff);
      listeners.Start([&] { delivered = handOff.Deliver([&] { ++ran; }) ? 1 : 0; });
      listeners.JoinAll();
    }
    QCOMPARE(delivered, 0);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    QCOMPARE(ran.load(), 0);
    QCOMPARE(posted.load(), 0);  // nothing was even queued
  }
};

QTEST_GUILESS_MAIN(UiHandOffTest)

#include "UiHandOffTest.moc"
