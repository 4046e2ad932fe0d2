// Linked into the test executables of the ThreadSanitizer build only
// (TARNVIK_TSAN=ON). Qt from the distribution is not instrumented: a queued
// signal crosses threads through QCoreApplication::postEvent, whose lock is a
// futex-based QMutex inside libQt5Core that ThreadSanitizer never sees. Without
// help it takes the chunk the reader thread emits and the GUI thread then reads
// for a race, and Qt's own queue of posted events for another. This file tells
// it about that handoff, using Qt's own hooks:
//
//  - every signal emission releases one sync address, on the emitting thread,
//    before Qt queues anything;
//  - so does every allocation the emitting thread makes inside the emission
//    itself (outside slots Qt calls directly): that is where Qt allocates the
//    event, the argument array and the argument copies it posts;
//  - on a thread other than the main one (the reader thread, a QThread's
//    started/finished), the accesses Qt makes inside an emission, outside
//    slots it calls directly, are not recorded at all: that is Qt appending
//    to the receiver's event queue, which the GUI thread compacts under the
//    same invisible lock (a functor connected directly would be left out
//    with the emission; the worker threads' signals here are connected to
//    methods only, queued);
//  - every event Qt delivers acquires that address, on the receiving thread,
//    before the receiver runs;
//  - freeing a block acquires the block's own address, where Qt's shared
//    containers keep their atomic reference count: the last deref, inside
//    Qt on one thread, then follows the other thread's deref of the same
//    data (the reader's chunk, dropped on the reader thread after the
//    emission, and the queued copy, destroyed by Qt on the GUI thread);
//  - a QThread's signals emitted on that thread itself (started, finished,
//    and the reader's chunks) also release the thread object, and
//    QThread::wait() acquires it when it returns true: all that a thread did
//    until its finished() happens before the wait that saw it finish, even
//    when the thread had already ended and Qt's wait returned at once.
//
// It adds happens-before edges, and leaves out only Qt's own work inside a
// worker thread's emission. It is coarser than Qt's real ordering in one way:
// a delivery synchronises with every emission before it, not just with the one
// that posted the event. A race in our code whose two sides are separated by
// an emission and an event delivery on the other thread is therefore not
// reported; tst_tsan_canary shows that a race just outside that shape is. See
// README.md beside this file.

#include <QDeadlineTimer>
#include <QObject>
#include <QThread>
#include <QThreadPool>
#include <QtGlobal>

#include <dlfcn.h>

#include <sanitizer/tsan_interface.h>

#include <pthread.h>

#include <cstddef>
#include <cstdint>

// Declared by Qt in a private header that Debian does not install; the layout
// and the exported symbol are those of libQt5Core 5.15.
struct QSignalSpyCallbackSet
{
    typedef void (*BeginCallback)(QObject *caller, int signal_or_method_index, void **argv);
    typedef void (*EndCallback)(QObject *caller, int signal_or_method_index);
    BeginCallback signal_begin_callback, slot_begin_callback;
    EndCallback signal_end_callback, slot_end_callback;
};
Q_CORE_EXPORT void qt_register_signal_spy_callbacks(QSignalSpyCallbackSet *callback_set);

extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void *, size_t), void (*free_hook)(const volatile void *));

#define TSAN_HANDOFF_UNINSTRUMENTED __attribute__((no_sanitize("thread")))

namespace {

// The one address every emission releases and every delivery acquires.
char handoff;

// The emissions in progress on this thread, innermost last, and which of them
// are slot calls made directly from an emission (bit n for frame n). Qt
// reports slot calls only for slots that are methods; a functor connected
// directly runs as part of the emission frame.
constexpr int kMaxFrames = 64;
thread_local int frames = 0;
thread_local uint64_t slotFrames = 0;

// The thread the executable started on (static initialisation runs there).
pthread_t mainThread;

TSAN_HANDOFF_UNINSTRUMENTED bool insideEmission()
{
    return frames > 0 && frames <= kMaxFrames && !((slotFrames >> (frames - 1)) & 1);
}

// Whether this thread's accesses are left out now: inside an emission on a
// thread other than the main one.
TSAN_HANDOFF_UNINSTRUMENTED bool ignoring()
{
    return insideEmission() && !pthread_equal(pthread_self(), mainThread);
}

// Changes the frame stack and turns recording off or back on as the innermost
// frame becomes, or stops being, such an emission.
template <typename Change>
TSAN_HANDOFF_UNINSTRUMENTED void reframe(Change change)
{
    const bool before = ignoring();
    change();
    const bool after = ignoring();
    if (!before && after)
        __tsan_ignore_thread_begin();
    else if (before && !after)
        __tsan_ignore_thread_end();
}

TSAN_HANDOFF_UNINSTRUMENTED void push(bool slot)
{
    reframe([slot] {
        if (frames < kMaxFrames) {
            const uint64_t bit = uint64_t(1) << frames;
            slotFrames = slot ? (slotFrames | bit) : (slotFrames & ~bit);
        }
        ++frames;
    });
}

TSAN_HANDOFF_UNINSTRUMENTED void pop()
{
    reframe([] {
        if (frames > 0)
            --frames;
    });
}

void signalBegin(QObject *sender, int, void **)
{
    __tsan_release(&handoff);
    if (sender && sender == QThread::currentThread())
        __tsan_release(sender);
    push(false);
}

void signalEnd(QObject *, int)
{
    pop();
}

void slotBegin(QObject *, int, void **)
{
    push(true);
}

void slotEnd(QObject *, int)
{
    pop();
}

// Runs in the allocating thread right after ThreadSanitizer recorded the
// allocation as that thread's write to the block.
TSAN_HANDOFF_UNINSTRUMENTED void allocated(const volatile void *, size_t)
{
    if (insideEmission())
        __tsan_release(&handoff);
}

// Runs in the freeing thread before ThreadSanitizer records the free as that
// thread's write to the block. Qt's shared containers (QByteArray, QString,
// QList ...) keep their atomic reference count at the start of the block and
// free it on the thread whose deref reaches zero. When that deref is Qt's own
// (a queued argument destroyed inside libQt5Core), the sanitizer never sees it
// acquire what the other thread's earlier deref released, and takes the free
// for a race with that deref. Acquiring the count's address here adds that
// one edge: every release-or-stronger atomic store to the block's first word
// happens before its free.
TSAN_HANDOFF_UNINSTRUMENTED void freed(const volatile void *block)
{
    if (block)
        __tsan_acquire(const_cast<void *>(block));
}

// QCoreApplication::notify hook, on the receiving thread before the event
// reaches its receiver (and before an undelivered event could be deleted
// there: a widget that goes away sends events to itself first). Returning
// false lets the event go on as usual.
bool delivering(void **)
{
    __tsan_acquire(&handoff);
    return false;
}

QSignalSpyCallbackSet callbacks = {signalBegin, slotBegin, signalEnd, slotEnd};

// Installed before main(), so before any thread of the test starts.
struct Install
{
    Install()
    {
        mainThread = pthread_self();
        // Qt converts and scales large images (the window icon) in segments
        // on its global thread pool; with several pool threads they pass
        // Qt's own task lists to each other under Qt's invisible locks. One
        // pool thread does the same work in turn, with the same result.
        QThreadPool::globalInstance()->setMaxThreadCount(1);
        __sanitizer_install_malloc_and_free_hooks(allocated, freed);
        qt_register_signal_spy_callbacks(&callbacks);
        QInternal::registerCallback(QInternal::EventNotifyCallback, delivering);
    }
} install;

template <typename Real>
Real realWait(const char *name)
{
    Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, name));
    if (!real)
        qFatal("tsan_handoff: %s not found in Qt", name);
    return real;
}

} // namespace

// QThread::wait as Qt has it, followed by the acquire that pairs with the
// thread's own emissions. Defined here, these take the place of Qt's for every
// caller in the process (ours, QtTest's); they call Qt's through the next
// definition in the lookup order.
bool QThread::wait(QDeadlineTimer deadline)
{
    static const auto real = realWait<bool (*)(QThread *, QDeadlineTimer)>(
        "_ZN7QThread4waitE14QDeadlineTimer");
    const bool ended = real(this, deadline);
    if (ended)
        __tsan_acquire(this);
    return ended;
}

bool QThread::wait(unsigned long time)
{
    static const auto real = realWait<bool (*)(QThread *, unsigned long)>("_ZN7QThread4waitEm");
    const bool ended = real(this, time);
    if (ended)
        __tsan_acquire(this);
    return ended;
}
