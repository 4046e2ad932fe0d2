/* tarnvik-floor: how fast a path carries the upgrade's data packets, with
 * nothing of the tool in the way. No Qt and no timer: hidapi alone, one
 * thread. Each packet is written as soon as the previous one's
 * acknowledgement ("AT+OTA=E3:1" CR) has been read, so the time per packet is
 * the path's round trip: hidapi, the operating system's HID stack, the
 * transport and the board.
 *
 * Two ways of waiting, one transfer each (E1, E2, the packets, E4: a board
 * judges it as it judges the tool's):
 *   poll   as the tool's reader thread: non-blocking hid_read of 64 bytes,
 *          a 1 ms sleep after every empty read;
 *   block  hid_read_timeout, woken by the report itself.
 * Three more, to tell what the tool's threads cost on top of the path (not
 * run unless asked for by --mode all or by name):
 *   armed    block, with the read asked for before the write (a read that
 *            finds nothing at once stays pending on Windows), as a thread
 *            that reads and writes a board's packets itself would;
 *   handover the tool's two handles and threads: a reader thread waits on
 *            a handle of its own (hid_read_timeout, 50 ms) and wakes the
 *            writer (this thread) when an acknowledgement is complete; one
 *            hand-over between threads a packet;
 *   relay    as handover, the reader's wake-up passed on by a third thread,
 *            as the tool's pacing thread passes it (two hand-overs; the
 *            tool's own thread between is a Qt event loop, not measured
 *            here).
 * Three more beside handover's path, for what the tool's pacing thread costs
 * when it only looks on (as when its reader sends the packets): a third
 * thread with a message queue, woken as Qt wakes a thread (a message posted
 * to it), off the path:
 *   posts    once for each acknowledgement the reader reads and each packet
 *            written (the reader's chunk, the writer's report);
 *   ticks    by a 1 ms periodic timer (on Windows winmm's, as Qt's timers
 *            under 20 ms);
 *   busy     both.
 *
 *   tarnvik-floor [--vid HEX --pid HEX] [--serial TEXT] [--path PATH]
 *                 [--packets N] [--runs R]
 *                 [--mode both|all|poll|block|armed|handover|relay|posts|ticks|busy]
 *                 [--label TEXT] [--ack-timeout MS]
 *
 * Prints the machine, the other load on it, and per run and mode the time
 * per packet (write to acknowledgement read): mean, p50, p90, min, max, the
 * mean time in the write call, and this program's CPU per packet.
 * Exit status 0 when every packet was acknowledged and E4 was written. A
 * packet left unanswered ends the transfer; the next packet then goes, to
 * tell a lost acknowledgement from one held back on the way.
 *
 * Built against the hidapi the tool links on each system; tarnvik-floor-sim
 * is the same program on the in-process virtual device with a simulated
 * board (floor_sim.cpp). */
#include "floor.h"

#include <hidapi.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>
#else
#include <pthread.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>
#endif

#define REPORT_DATA 64 /* data bytes of one report, without the id */
#define IMAGE_PER_PACKET 60
#define MAX_LINE 240

/* --- clock, sleep, the machine and its load ----------------------------- */

#ifdef _WIN32
static double now_ms(void)
{
    static LARGE_INTEGER freq;
    LARGE_INTEGER t;
    if (!freq.QuadPart)
        QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart * 1000.0 / (double)freq.QuadPart;
}
/* As QThread::msleep(1) on Windows. */
static void sleep_1ms(void) { Sleep(1); }

static double filetime_s(FILETIME f)
{
    return (double)(((uint64_t)f.dwHighDateTime << 32) | f.dwLowDateTime) / 1e7;
}
/* Busy seconds of all processors, and of this process. */
static int cpu_seconds(double *all, double *own)
{
    FILETIME idle, kernel, user, c, e, k, u;
    if (!GetSystemTimes(&idle, &kernel, &user) || !GetProcessTimes(GetCurrentProcess(), &c, &e, &k, &u))
        return 0;
    /* Kernel time includes idle time. */
    *all = filetime_s(kernel) + filetime_s(user) - filetime_s(idle);
    *own = filetime_s(k) + filetime_s(u);
    return 1;
}

static void print_machine(void)
{
    SYSTEM_INFO si;
    GetNativeSystemInfo(&si);
    const char *wine = NULL;
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll) {
        typedef const char *(__cdecl * WineVersion)(void);
        WineVersion v = (WineVersion)(void (*)(void))GetProcAddress(ntdll, "wine_get_version");
        if (v)
            wine = v();
    }
    OSVERSIONINFOA os;
    memset(&os, 0, sizeof os);
    os.dwOSVersionInfoSize = sizeof os;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    GetVersionExA(&os);
#pragma GCC diagnostic pop
    printf("floor: machine: Windows %lu.%lu build %lu%s%s, %lu logical processors, 32-bit program\n",
           os.dwMajorVersion, os.dwMinorVersion, os.dwBuildNumber, wine ? ", under Wine " : "", wine ? wine : "",
           si.dwNumberOfProcessors);
}
#else
static double now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1000.0 + (double)t.tv_nsec / 1e6;
}
/* As QThread::msleep(1) on Linux. */
static void sleep_1ms(void)
{
    struct timespec t = {0, 1000000};
    while (nanosleep(&t, &t) != 0) {
    }
}

static int cpu_seconds(double *all, double *own)
{
    FILE *f = fopen("/proc/stat", "r");
    if (!f)
        return 0;
    unsigned long long v[8] = {0};
    const int n = fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                         &v[6], &v[7]);
    fclose(f);
    if (n < 8)
        return 0;
    const double tick = (double)sysconf(_SC_CLK_TCK);
    /* Everything but idle (v[3]) and iowait (v[4]). */
    *all = (double)(v[0] + v[1] + v[2] + v[5] + v[6] + v[7]) / tick;
    struct rusage r;
    getrusage(RUSAGE_SELF, &r);
    *own = (double)r.ru_utime.tv_sec + (double)r.ru_utime.tv_usec / 1e6 + (double)r.ru_stime.tv_sec
           + (double)r.ru_stime.tv_usec / 1e6;
    return 1;
}

static void print_machine(void)
{
    char cpu[128] = "unknown CPU";
    int cores = 0, virtual_machine = 0;
    char line[1024];
    FILE *f = fopen("/proc/cpuinfo", "r");
    while (f && fgets(line, sizeof line, f)) {
        if (!strncmp(line, "processor", 9))
            ++cores;
        else if (cores == 1 && !strncmp(line, "model name", 10) && strchr(line, ':'))
            snprintf(cpu, sizeof cpu, "%s", strchr(line, ':') + 2);
        else if (cores == 1 && !strncmp(line, "flags", 5) && strstr(line, " hypervisor"))
            virtual_machine = 1;
    }
    if (f)
        fclose(f);
    cpu[strcspn(cpu, "\n")] = 0;
    struct utsname u;
    uname(&u);
    char load[64] = "unknown";
    double l1, l5, l15;
    f = fopen("/proc/loadavg", "r");
    if (f && fscanf(f, "%lf %lf %lf", &l1, &l5, &l15) == 3)
        snprintf(load, sizeof load, "%.2f %.2f %.2f", l1, l5, l15);
    if (f)
        fclose(f);
    printf("floor: machine: %s%s, %d logical CPUs, %s %s %s, load average %s\n", cpu,
           virtual_machine ? " (virtual machine)" : "", cores, u.sysname, u.release, u.machine, load);
}
#endif

/* --- the protocol -------------------------------------------------------- */

static uint32_t crc32_of(const unsigned char *data, size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

static void put_le32(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

/* "AT+OTA=E<which>:", the number, its check byte (XOR of its four bytes), CR:
 * 16 bytes after the report id. */
static size_t numbered_command(unsigned char *frame, char which, uint32_t number)
{
    frame[0] = 0;
    memcpy(frame + 1, "AT+OTA=E?:", 10);
    frame[9] = (unsigned char)which;
    put_le32(frame + 11, number);
    frame[15] = frame[11] ^ frame[12] ^ frame[13] ^ frame[14];
    frame[16] = '\r';
    return 17;
}

/* Lines in the board's input reports: a line starts with 'A' and ends with
 * CR, anything before the 'A' (report padding, CR, LF) is skipped, a line
 * may be split over reports and one longer than 240 bytes is dropped. */
struct Lines
{
    char text[MAX_LINE + 1];
    size_t length;
    int in_line;
    int acks;  /* "AT+OTA=E3:1" lines */
    int other; /* any other line */
};

static void scan(struct Lines *s, const unsigned char *data, int n)
{
    static const char ack[] = "AT+OTA=E3:1\r";
    for (int i = 0; i < n; ++i) {
        const char c = (char)data[i];
        if (!s->in_line) {
            if (c != 'A')
                continue;
            s->in_line = 1;
            s->length = 0;
        }
        if (s->length == MAX_LINE) { /* too long: dropped */
            s->in_line = 0;
            continue;
        }
        s->text[s->length++] = c;
        if (c == '\r') {
            s->in_line = 0;
            if (s->length == sizeof ack - 1 && !memcmp(s->text, ack, s->length))
                ++s->acks;
            else
                ++s->other;
        }
    }
}

/* --- one transfer -------------------------------------------------------- */

enum Mode { POLL, BLOCK, ARMED, HANDOVER, RELAY, POSTS, TICKS, BUSY, MODES };
static const char *const mode_names[MODES] = {"poll", "block", "armed", "handover", "relay", "posts", "ticks", "busy"};
/* The modes with a reader thread on a handle of its own. */
static int threaded(enum Mode m) { return m >= HANDOVER; }

static int write_frame(hid_device *dev, const unsigned char *frame, size_t length, const char *what)
{
    const int n = hid_write(dev, frame, length);
    if (n <= 0) {
        fprintf(stderr, "floor: writing %s failed (%d): %ls\n", what, n, hid_error(dev) ? hid_error(dev) : L"");
        return 0;
    }
    return 1;
}

/* Reads until one more acknowledgement has come; 0 on a failed read, a time
 * out or a refusal. */
static int wait_ack(hid_device *dev, enum Mode mode, struct Lines *lines, double timeout_ms, int *empty_reads)
{
    const int before = lines->acks;
    const int refused = lines->other;
    const double start = now_ms();
    unsigned char buffer[REPORT_DATA];
    for (;;) {
        int n;
        if (mode == POLL) {
            memset(buffer, 0, sizeof buffer);
            n = hid_read(dev, buffer, sizeof buffer);
        } else {
            const int left = (int)(timeout_ms - (now_ms() - start)) + 1;
            n = hid_read_timeout(dev, buffer, sizeof buffer, left > 0 ? left : 0);
        }
        if (n < 0) {
            fprintf(stderr, "floor: read failed: %ls\n", hid_error(dev) ? hid_error(dev) : L"");
            return 0;
        }
        if (n > 0) {
            scan(lines, buffer, n);
            if (lines->acks > before)
                return 1;
            if (lines->other > refused) {
                fprintf(stderr, "floor: the board answered a data packet with another line than the acknowledgement\n");
                return 0;
            }
        } else if (mode == POLL) {
            ++*empty_reads;
            sleep_1ms();
        }
        if (now_ms() - start > timeout_ms) {
            fprintf(stderr, "floor: no acknowledgement within %.0f ms\n", timeout_ms);
            return 0;
        }
    }
}

/* --- the tool's threads, in their plainest form --------------------------- */

/* A count that one thread raises and another waits for (or a break: a failed
 * read, a line other than the acknowledgement). On Windows an auto-reset
 * event wakes the waiter: a kernel object, as the tool's writer waits on
 * one (a call to the Wine server under Wine). */
struct Wake
{
#ifdef _WIN32
    CRITICAL_SECTION lock;
    HANDLE event;
#else
    pthread_mutex_t lock;
    pthread_cond_t cond;
#endif
    int value;
    int broken;
};

#ifdef _WIN32
static void wake_init(struct Wake *w)
{
    InitializeCriticalSection(&w->lock);
    w->event = CreateEventA(NULL, FALSE, FALSE, NULL);
    w->value = w->broken = 0;
}
static void wake_free(struct Wake *w)
{
    CloseHandle(w->event);
    DeleteCriticalSection(&w->lock);
}
static void wake_set(struct Wake *w, int value, int broken)
{
    EnterCriticalSection(&w->lock);
    if (value > w->value)
        w->value = value;
    w->broken |= broken;
    LeaveCriticalSection(&w->lock);
    SetEvent(w->event);
}
/* Waits until the count is above `seen` or broken, at most `timeout_ms`. */
static int wake_wait(struct Wake *w, int seen, double timeout_ms, int *broken)
{
    const double start = now_ms();
    for (;;) {
        EnterCriticalSection(&w->lock);
        const int value = w->value;
        *broken = w->broken;
        LeaveCriticalSection(&w->lock);
        const double left = timeout_ms - (now_ms() - start);
        if (value > seen || *broken || left <= 0)
            return value;
        WaitForSingleObject(w->event, (DWORD)left + 1);
    }
}
#else
static void wake_init(struct Wake *w)
{
    pthread_mutex_init(&w->lock, NULL);
    pthread_cond_init(&w->cond, NULL);
    w->value = w->broken = 0;
}
static void wake_free(struct Wake *w)
{
    pthread_cond_destroy(&w->cond);
    pthread_mutex_destroy(&w->lock);
}
static void wake_set(struct Wake *w, int value, int broken)
{
    pthread_mutex_lock(&w->lock);
    if (value > w->value)
        w->value = value;
    w->broken |= broken;
    pthread_cond_signal(&w->cond);
    pthread_mutex_unlock(&w->lock);
}
static int wake_wait(struct Wake *w, int seen, double timeout_ms, int *broken)
{
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    const long long ns = until.tv_nsec + (long long)(timeout_ms * 1e6);
    until.tv_sec += (time_t)(ns / 1000000000);
    until.tv_nsec = (long)(ns % 1000000000);
    pthread_mutex_lock(&w->lock);
    while (w->value <= seen && !w->broken)
        if (pthread_cond_timedwait(&w->cond, &w->lock, &until) != 0)
            break;
    const int value = w->value;
    *broken = w->broken;
    pthread_mutex_unlock(&w->lock);
    return value;
}
#endif

/* The onlooker of posts, ticks and busy: a thread woken by messages posted
 * to it, which does nothing with them but count them. */
struct Side
{
    int posts, ticks; /* what wakes it */
    long woken;
#ifdef _WIN32
    DWORD thread_id;
    HANDLE thread, ready;
    UINT timer;
#else
    pthread_t thread;
    struct Wake wake;
    int stop;
#endif
};

#ifdef _WIN32
static DWORD WINAPI side_entry(LPVOID p)
{
    struct Side *s = (struct Side *)p;
    MSG m;
    PeekMessageA(&m, NULL, 0, 0, PM_NOREMOVE); /* the thread's queue */
    SetEvent(s->ready);
    while (GetMessageA(&m, NULL, 0, 0) > 0)
        ++s->woken;
    return 0;
}
static void CALLBACK side_tick(UINT id, UINT msg, DWORD_PTR user, DWORD_PTR a, DWORD_PTR b)
{
    (void)id, (void)msg, (void)a, (void)b;
    PostThreadMessageA((DWORD)user, WM_APP, 0, 0);
}
/* Ends and frees what side_start made, whatever it got to. */
static void side_stop(struct Side *s)
{
    if (s->timer)
        timeKillEvent(s->timer);
    if (s->thread) {
        PostThreadMessageA(s->thread_id, WM_QUIT, 0, 0);
        WaitForSingleObject(s->thread, INFINITE);
        CloseHandle(s->thread);
    }
    if (s->ready)
        CloseHandle(s->ready);
}
static int side_start(struct Side *s)
{
    s->ready = CreateEventA(NULL, TRUE, FALSE, NULL);
    s->thread = s->ready ? CreateThread(NULL, 0, side_entry, s, 0, &s->thread_id) : NULL;
    if (s->thread)
        WaitForSingleObject(s->ready, INFINITE);
    if (s->thread && s->ticks)
        s->timer = timeSetEvent(1, 1, side_tick, (DWORD_PTR)s->thread_id,
                                TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
    if (s->thread && (!s->ticks || s->timer))
        return 1;
    side_stop(s);
    return 0;
}
static void side_post(struct Side *s)
{
    if (s && s->posts)
        PostThreadMessageA(s->thread_id, WM_APP + 1, 0, 0);
}
#else
static void *side_entry(void *p)
{
    struct Side *s = (struct Side *)p;
    int seen = 0;
    while (!__atomic_load_n(&s->stop, __ATOMIC_ACQUIRE)) {
        int broken = 0;
        seen = wake_wait(&s->wake, seen, s->ticks ? 1 : 100, &broken);
        ++s->woken;
    }
    return NULL;
}
static int side_start(struct Side *s)
{
    wake_init(&s->wake);
    if (pthread_create(&s->thread, NULL, side_entry, s) == 0)
        return 1;
    wake_free(&s->wake);
    return 0;
}
static void side_post(struct Side *s)
{
    if (s && s->posts) {
        pthread_mutex_lock(&s->wake.lock);
        ++s->wake.value;
        pthread_cond_signal(&s->wake.cond);
        pthread_mutex_unlock(&s->wake.lock);
    }
}
static void side_stop(struct Side *s)
{
    __atomic_store_n(&s->stop, 1, __ATOMIC_RELEASE);
    pthread_join(s->thread, NULL);
    wake_free(&s->wake);
}
#endif

struct Job
{
    hid_device *dev;     /* the reader's handle */
    struct Wake *from;   /* the relay's */
    struct Wake *to;
    struct Side *side;   /* told of each acknowledgement, when there is one */
    struct Lines lines;  /* the reader's */
    int stop;
};

/* The reader: every report read on its own handle, scanned; each complete
 * acknowledgement raises the count. */
static void reader_run(struct Job *j)
{
    unsigned char buffer[REPORT_DATA];
    while (!__atomic_load_n(&j->stop, __ATOMIC_ACQUIRE)) {
        const int n = hid_read_timeout(j->dev, buffer, sizeof buffer, 50);
        if (n < 0) {
            fprintf(stderr, "floor: read failed: %ls\n", hid_error(j->dev) ? hid_error(j->dev) : L"");
            wake_set(j->to, 0, 1);
            return;
        }
        if (n > 0) {
            const int acks = j->lines.acks, other = j->lines.other;
            scan(&j->lines, buffer, n);
            if (j->lines.other > other) {
                fprintf(stderr, "floor: the board answered a data packet with another line than the acknowledgement\n");
                wake_set(j->to, 0, 1);
            } else if (j->lines.acks > acks) {
                wake_set(j->to, j->lines.acks, 0);
                side_post(j->side);
            }
        }
    }
}

/* The relay: passes each raise of the reader's count on. */
static void relay_run(struct Job *j)
{
    int seen = 0;
    while (!__atomic_load_n(&j->stop, __ATOMIC_ACQUIRE)) {
        int broken = 0;
        const int value = wake_wait(j->from, seen, 100, &broken);
        if (broken) {
            wake_set(j->to, 0, 1);
            return;
        }
        if (value > seen) {
            seen = value;
            wake_set(j->to, value, 0);
        }
    }
}

#ifdef _WIN32
typedef HANDLE Thread;
static DWORD WINAPI reader_entry(LPVOID j)
{
    reader_run((struct Job *)j);
    return 0;
}
static DWORD WINAPI relay_entry(LPVOID j)
{
    relay_run((struct Job *)j);
    return 0;
}
static int thread_start(Thread *t, int relay, struct Job *j)
{
    *t = CreateThread(NULL, 0, relay ? relay_entry : reader_entry, j, 0, NULL);
    return *t != NULL;
}
static void thread_join(Thread t)
{
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
}
#else
typedef pthread_t Thread;
static void *reader_entry(void *j)
{
    reader_run((struct Job *)j);
    return NULL;
}
static void *relay_entry(void *j)
{
    relay_run((struct Job *)j);
    return NULL;
}
static int thread_start(Thread *t, int relay, struct Job *j)
{
    return pthread_create(t, NULL, relay ? relay_entry : reader_entry, j) == 0;
}
static void thread_join(Thread t) { pthread_join(t, NULL); }
#endif

/* The packets of a transfer written on this thread, each once the reader
 * (through the relay, for RELAY) has told of its acknowledgement. */
static int packets_through_threads(hid_device *dev, hid_device *rdev, enum Mode mode, const unsigned char *image,
                                   int packets, double timeout_ms, double *ms, double *write_ms, long *side_woken)
{
    struct Wake acks, relayed;
    wake_init(&acks);
    wake_init(&relayed);
    struct Job reader, relay;
    memset(&reader, 0, sizeof reader);
    memset(&relay, 0, sizeof relay);
    reader.dev = rdev;
    reader.to = &acks;
    relay.from = &acks;
    relay.to = &relayed;
    struct Wake *told = mode == RELAY ? &relayed : &acks;
    unsigned char frame[1 + REPORT_DATA];
    Thread reader_thread, relay_thread;
    struct Side side;
    memset(&side, 0, sizeof side);
    side.posts = mode == POSTS || mode == BUSY;
    side.ticks = mode == TICKS || mode == BUSY;
    const int have_side = side.posts || side.ticks;
    if (have_side && !side_start(&side)) {
        fprintf(stderr, "floor: the onlooking thread did not start\n");
        return 0;
    }
    reader.side = have_side ? &side : NULL;
    int ok = thread_start(&reader_thread, 0, &reader);
    const int have_reader = ok;
    const int have_relay = ok && mode == RELAY && (ok = thread_start(&relay_thread, 1, &relay));
    /* The reader's first read is asked for before packet 1 goes: a report
     * that comes while a read is being asked for can be held back in Wine's
     * HID stack until the next one. */
    if (ok) {
        const double until = now_ms() + 100;
        while (now_ms() < until)
            sleep_1ms();
    }
    for (int k = 1; k <= packets && ok; ++k) {
        frame[0] = 0;
        put_le32(frame + 1, (uint32_t)k);
        memcpy(frame + 5, image + (size_t)(k - 1) * IMAGE_PER_PACKET, IMAGE_PER_PACKET);
        const double start = now_ms();
        ok = write_frame(dev, frame, 5 + IMAGE_PER_PACKET, "a data packet");
        *write_ms += now_ms() - start;
        side_post(reader.side);
        int broken = 0;
        if (ok && wake_wait(told, k - 1, timeout_ms, &broken) < k) {
            if (!broken)
                fprintf(stderr, "floor: no acknowledgement within %.0f ms\n", timeout_ms);
            fprintf(stderr, "floor: stopped at packet %d of %d\n", k, packets);
            ok = 0;
        }
        ms[k - 1] = now_ms() - start;
    }
    __atomic_store_n(&reader.stop, 1, __ATOMIC_RELEASE);
    __atomic_store_n(&relay.stop, 1, __ATOMIC_RELEASE);
    if (have_reader)
        thread_join(reader_thread);
    if (have_relay)
        thread_join(relay_thread);
    if (have_side) {
        side_stop(&side);
        *side_woken = side.woken;
    }
    wake_free(&acks);
    wake_free(&relayed);
    return ok;
}

static int compare_doubles(const void *a, const void *b)
{
    const double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

static double percentile(const double *sorted, int n, double p)
{
    int i = (int)(p * (n - 1) + 0.5);
    return sorted[i < 0 ? 0 : i >= n ? n - 1 : i];
}

struct Summary
{
    double mean, p50, p90, min, max;
};

static struct Summary summarize(double *ms, int n)
{
    struct Summary s;
    double sum = 0;
    for (int i = 0; i < n; ++i)
        sum += ms[i];
    qsort(ms, (size_t)n, sizeof *ms, compare_doubles);
    s.mean = sum / n;
    s.p50 = percentile(ms, n, 0.5);
    s.p90 = percentile(ms, n, 0.9);
    s.min = ms[0];
    s.max = ms[n - 1];
    return s;
}

/* Packet k went unanswered: is its acknowledgement lost, or held back on the
 * way (Wine's HID stack, now and then, keeps a report in its queue until the
 * next one comes)? Packet k + 1 goes, and its answer brings a held-back one
 * with it. Says which; the transfer has failed either way. */
static void tell_missing_ack(hid_device *dev, struct Lines *lines, unsigned char *frame, const unsigned char *image,
                             int k, int packets)
{
    if (k >= packets)
        return;
    put_le32(frame + 1, (uint32_t)(k + 1));
    memcpy(frame + 5, image + (size_t)k * IMAGE_PER_PACKET, IMAGE_PER_PACKET);
    const int before = lines->acks;
    if (!write_frame(dev, frame, 5 + IMAGE_PER_PACKET, "a data packet"))
        return;
    unsigned char buffer[REPORT_DATA];
    const double start = now_ms();
    while (lines->acks - before < 2 && now_ms() - start < 2000) {
        const int n = hid_read_timeout(dev, buffer, sizeof buffer, 100);
        if (n < 0)
            break;
        if (n > 0)
            scan(lines, buffer, n);
    }
    const int acks = lines->acks - before;
    if (acks >= 2)
        fprintf(stderr, "floor: packet %d's acknowledgement came in only with packet %d's: held back on the way, not lost\n",
                k, k + 1);
    else if (acks == 1)
        fprintf(stderr, "floor: packet %d was answered, packet %d's acknowledgement never came: lost\n", k + 1, k);
    else
        fprintf(stderr, "floor: packet %d was not answered either\n", k + 1);
}

/* E1, E2, the packets (each after the previous acknowledgement), E4; the time
 * of each packet from just before its write to the read that completed its
 * acknowledgement goes to ms[]. */
static int transfer(hid_device *dev, hid_device *rdev, enum Mode mode, int packets, double timeout_ms, double *ms,
                    int *empty_reads, double *write_ms, long *side_woken)
{
    const size_t size = (size_t)packets * IMAGE_PER_PACKET;
    unsigned char *image = malloc(size ? size : 1);
    if (!image)
        return 0;
    uint32_t seed = 0x2545F491u ^ (uint32_t)packets;
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        image[i] = (unsigned char)(seed >> 16);
    }
    int ok = 0;
    struct Lines lines;
    memset(&lines, 0, sizeof lines);
    unsigned char frame[1 + REPORT_DATA];

    /* Whatever the board still had to say goes first. */
    hid_set_nonblocking(dev, 1);
    unsigned char drain[REPORT_DATA];
    while (hid_read(dev, drain, sizeof drain) > 0) {
    }
    hid_set_nonblocking(dev, mode == POLL);
    if (rdev) {
        hid_set_nonblocking(rdev, 1);
        while (hid_read(rdev, drain, sizeof drain) > 0) {
        }
        hid_set_nonblocking(rdev, 0);
    }

    memcpy(frame, "\0AT+OTA=E1:1\r", 13);
    if (!write_frame(dev, frame, 13, "E1"))
        goto done;
    if (!write_frame(dev, frame, numbered_command(frame, '2', (uint32_t)size), "E2"))
        goto done;
    *empty_reads = 0;
    *write_ms = 0;
    if (threaded(mode)) {
        if (!packets_through_threads(dev, rdev, mode, image, packets, timeout_ms, ms, write_ms, side_woken))
            goto done;
    }
    for (int k = 1; k <= packets && !threaded(mode); ++k) {
        frame[0] = 0;
        put_le32(frame + 1, (uint32_t)k);
        memcpy(frame + 5, image + (size_t)(k - 1) * IMAGE_PER_PACKET, IMAGE_PER_PACKET);
        const double start = now_ms();
        if (mode == ARMED) {
            /* Asked for before the write: on Windows a read that finds
             * nothing stays pending, and the answer completes it. */
            unsigned char early[REPORT_DATA];
            const int n = hid_read_timeout(dev, early, sizeof early, 0);
            if (n > 0)
                scan(&lines, early, n);
        }
        const int written = write_frame(dev, frame, 5 + IMAGE_PER_PACKET, "a data packet");
        *write_ms += now_ms() - start;
        if (!written || !wait_ack(dev, mode == POLL ? POLL : BLOCK, &lines, timeout_ms, empty_reads)) {
            if (written)
                tell_missing_ack(dev, &lines, frame, image, k, packets);
            fprintf(stderr, "floor: stopped at packet %d of %d\n", k, packets);
            goto done;
        }
        ms[k - 1] = now_ms() - start;
    }
    ok = write_frame(dev, frame, numbered_command(frame, '4', crc32_of(image, size)), "E4");
done:
    free(image);
    return ok;
}

/* --- the device and the command line -------------------------------------- */

static hid_device *open_device(const char *path, unsigned vid, unsigned pid, const char *serial, char *label,
                               size_t label_size, char *chosen, size_t chosen_size)
{
    chosen[0] = 0;
    if (path) {
        snprintf(chosen, chosen_size, "%s", path);
    } else {
        struct hid_device_info *head = hid_enumerate((unsigned short)vid, (unsigned short)pid);
        int found = 0;
        for (struct hid_device_info *i = head; i; i = i->next) {
            char s[256] = "";
            if (i->serial_number)
                snprintf(s, sizeof s, "%ls", i->serial_number);
            if (serial && strcmp(s, serial))
                continue;
            if (found++) {
                fprintf(stderr, "floor: more than one device matches; name it by --serial or --path\n");
                hid_free_enumeration(head);
                return NULL;
            }
            snprintf(chosen, chosen_size, "%s", i->path);
        }
        hid_free_enumeration(head);
        if (!found) {
            fprintf(stderr, "floor: no device %04x:%04x%s%s\n", vid, pid, serial ? " with serial " : "",
                    serial ? serial : "");
            return NULL;
        }
    }
    hid_device *dev = hid_open_path(chosen);
    if (!dev)
        fprintf(stderr, "floor: cannot open %s\n", chosen);
    else if (!label[0])
        snprintf(label, label_size, "%s", chosen);
    return dev;
}

static int usage(void)
{
    fprintf(stderr, "usage: tarnvik-floor [--vid HEX --pid HEX] [--serial TEXT] [--path PATH] [--packets N]\n"
                    "                     [--runs R] [--mode both|all|poll|block|armed|handover|relay|posts|ticks|busy]\n"
                    "                     [--label TEXT] [--ack-timeout MS]\n");
    return 2;
}

int floor_main(int argc, char **argv)
{
    const char *path = NULL, *serial = NULL, *mode_name = "both";
    unsigned vid = 0x1a2b, pid = 0x00ff;
    int packets = 50, runs = 1;
    double timeout_ms = 5000;
    char label[1024] = "";
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (i + 1 >= argc)
            return usage();
        const char *v = argv[++i];
        if (!strcmp(a, "--vid"))
            vid = (unsigned)strtoul(v, NULL, 16);
        else if (!strcmp(a, "--pid"))
            pid = (unsigned)strtoul(v, NULL, 16);
        else if (!strcmp(a, "--serial"))
            serial = v;
        else if (!strcmp(a, "--path"))
            path = v;
        else if (!strcmp(a, "--packets"))
            packets = atoi(v);
        else if (!strcmp(a, "--runs"))
            runs = atoi(v);
        else if (!strcmp(a, "--mode"))
            mode_name = v;
        else if (!strcmp(a, "--label"))
            snprintf(label, sizeof label, "%s", v);
        else if (!strcmp(a, "--ack-timeout"))
            timeout_ms = atof(v);
        else
            return usage();
    }
    int wanted[MODES] = {0};
    int any = 0;
    for (int m = 0; m < MODES; ++m) {
        wanted[m] = !strcmp(mode_name, "all") || !strcmp(mode_name, mode_names[m])
                    || (!strcmp(mode_name, "both") && (m == POLL || m == BLOCK));
        any |= wanted[m];
    }
    if (packets < 1 || runs < 1 || timeout_ms <= 0 || !any)
        return usage();

    setvbuf(stdout, NULL, _IOLBF, 0);
    print_machine();
    if (hid_init() != 0) {
        fprintf(stderr, "floor: hid_init failed\n");
        return 1;
    }
    char chosen[1024];
    hid_device *dev = open_device(path, vid, pid, serial, label, sizeof label, chosen, sizeof chosen);
    if (!dev)
        return 1;

    double *ms = malloc(sizeof(double) * (size_t)packets);
    double *all[MODES], *run_means[MODES];
    int ok = ms != NULL;
    for (int m = 0; m < MODES; ++m) {
        all[m] = malloc(sizeof(double) * (size_t)packets * (size_t)runs);
        run_means[m] = malloc(sizeof(double) * (size_t)runs);
        ok = ok && all[m] && run_means[m];
    }
    double all0 = 0, own0 = 0, all1 = 0, own1 = 0;
    const int have_load = cpu_seconds(&all0, &own0);
    const double t0 = now_ms();
    for (int run = 0; run < runs && ok; ++run) {
        for (int m = 0; m < MODES && ok; ++m) {
            if (!wanted[m])
                continue;
            int empty = 0;
            long woken = 0;
            double write_ms = 0;
            double cpu_all0 = 0, cpu_own0 = 0, cpu_all1 = 0, cpu_own1 = 0;
            cpu_seconds(&cpu_all0, &cpu_own0);
            const double start = now_ms();
            /* The threaded modes' reader reads on a handle of its own, opened
             * for the transfer as the tool opens one for a connection (one
             * kept from an earlier transfer carries that one's pending read
             * into this one: under Wine packet 1's acknowledgement then
             * never reached the reader). */
            hid_device *rdev = NULL;
            if (threaded((enum Mode)m) && !(rdev = hid_open_path(chosen))) {
                fprintf(stderr, "floor: cannot open %s a second time\n", chosen);
                ok = 0;
                break;
            }
            ok = transfer(dev, rdev, (enum Mode)m, packets, timeout_ms, ms, &empty, &write_ms, &woken);
            if (rdev)
                hid_close(rdev);
            if (!ok)
                break;
            const double took = now_ms() - start;
            cpu_seconds(&cpu_all1, &cpu_own1);
            memcpy(all[m] + (size_t)run * packets, ms, sizeof(double) * (size_t)packets);
            const struct Summary s = summarize(ms, packets);
            run_means[m][run] = s.mean;
            printf("floor: run %d %-8s over %s: %d packets, ms per packet mean %.4f p50 %.4f p90 %.4f "
                   "(min %.4f, max %.4f), of which the write call %.4f; %.0f ms for the transfer, CPU %.3f ms per "
                   "packet%s",
                   run + 1, mode_names[m], label, packets, s.mean, s.p50, s.p90, s.min, s.max, write_ms / packets, took,
                   (cpu_own1 - cpu_own0) * 1000 / packets, m == POLL || m >= POSTS ? "" : "\n");
            if (m == POLL)
                printf("; %.2f empty reads per packet\n", (double)empty / packets);
            if (m >= POSTS)
                printf("; the onlooker woke %ld times\n", woken);
        }
    }
    const double wall_s = (now_ms() - t0) / 1000.0;
    hid_close(dev);
    hid_exit();
    for (int m = 0; m < MODES && ok; ++m) {
        if (!wanted[m])
            continue;
        const struct Summary s = summarize(all[m], packets * runs);
        const struct Summary r = summarize(run_means[m], runs);
        printf("floor %-8s over %s: %d run(s) of %d packets, ms per packet mean %.4f p50 %.4f p90 %.4f "
               "(run means %.4f-%.4f)\n",
               mode_names[m], label, runs, packets, s.mean, s.p50, s.p90, r.min, r.max);
    }
    /* The accounting counts in ticks of 10 ms or more: a shorter run says nothing. */
    if (have_load && cpu_seconds(&all1, &own1) && wall_s >= 1)
        printf("floor: other load meanwhile (the board's included): %.2f cores, this program %.2f, over %.1f s\n",
               ((all1 - all0) - (own1 - own0)) / wall_s, (own1 - own0) / wall_s, wall_s);
    else
        printf("floor: other load not measured (%.2f s is too short for the system's accounting)\n", wall_s);
    if (!ok)
        printf("floor: FAILED over %s\n", label);
    free(ms);
    for (int m = 0; m < MODES; ++m) {
        free(all[m]);
        free(run_means[m]);
    }
    return ok ? 0 : 1;
}
