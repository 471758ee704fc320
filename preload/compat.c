/* Serial line settings and modem lines for applications on MV5840VSP's pseudo-terminal ports.
 *
 * Loaded with LD_PRELOAD (see mv5840vsp-run). A descriptor is ours when it is the slave of a
 * pseudo-terminal that one of the links in the port directory points at (compared by device
 * number, so opening the link, its target or anything else reaching the same slave counts).
 * For ours the settings the application asks for are kept and read back exactly; the real
 * terminal gets the same settings with 8 data bits and no parity, which is what the kernel
 * would silently make of them anyway. Modem-line requests work on remembered DTR/RTS; CTS,
 * DSR and CD read asserted. The settings and DTR/RTS go to "<port directory>/.<port>.line"
 * for the program to show. Every other descriptor is passed through untouched.
 *
 * read and write are not touched; nothing here allocates (fixed tables, stack buffers, raw
 * directory reads); one mutex guards the table and is never held across a call that may
 * block; errno is kept as the real call left it. Descriptors above MAX_FDS and opens beyond
 * MAX_LINES at once are left to the kernel. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

/* The kernel's own terminal structures (TCGETS and TCGETS2), which differ from glibc's. */
#define KERNEL_NCCS 19
struct kernel_termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[KERNEL_NCCS];
    speed_t c_ispeed, c_ospeed;
};
/* TCGETS and friends take the same structure without the two speeds. */
#define KERNEL_TERMIOS_SIZE offsetof(struct kernel_termios2, c_ispeed)

#define K_TCGETS2 _IOR('T', 0x2A, struct kernel_termios2)
#define K_TCSETS2 _IOW('T', 0x2B, struct kernel_termios2)
#define K_TCSETSW2 _IOW('T', 0x2C, struct kernel_termios2)
#define K_TCSETSF2 _IOW('T', 0x2D, struct kernel_termios2)
#define K_BOTHER 0010000
#define K_IBSHIFT 16
#ifndef IBAUD0
#define IBAUD0 020000000000 /* glibc marks "input speed 0" in c_iflag */
#endif

#define MAX_FDS 65536 /* descriptors above this are left to the kernel */
#define MAX_LINES 256 /* open ports per process */
#define NAME_LEN 64
#define STATE_LEN 64
#define PLACE_LEN 256

/* One open file description on a port, shared by its duplicates. */
struct line {
    int refs;
    dev_t rdev;
    char name[NAME_LEN];
    char place[PLACE_LEN]; /* the port directory its link is in */
    struct kernel_termios2 settings;
    int modem; /* TIOCM_DTR | TIOCM_RTS as last set */
};

static pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER;
static short fd_line[MAX_FDS]; /* 0: not ours, else index + 1 into lines */
static struct line lines[MAX_LINES];

/* ---- the real functions ---- */

static void* real(const char* name)
{
    return dlsym(RTLD_NEXT, name);
}
/* The next definition of name (libc's), looked up once; any thread may be first. */
#define REAL(type, name)                                     \
    ({                                                       \
        static type cache;                                   \
        type fn = __atomic_load_n(&cache, __ATOMIC_RELAXED); \
        if (!fn) {                                           \
            fn = (type)real(#name);                          \
            __atomic_store_n(&cache, fn, __ATOMIC_RELAXED);  \
        }                                                    \
        fn;                                                  \
    })
#define NEEDS_MODE(flags) (((flags)&O_CREAT) || ((flags)&O_TMPFILE) == O_TMPFILE)

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);
typedef int (*open2_fn)(const char*, int);
typedef int (*openat2_fn)(int, const char*, int);
typedef FILE* (*fopen_fn)(const char*, const char*);
typedef int (*close_fn)(int);
typedef int (*fclose_fn)(FILE*);
typedef int (*dup_fn)(int);
typedef int (*dup2_fn)(int, int);
typedef int (*dup3_fn)(int, int, int);
typedef int (*fcntl_fn)(int, int, ...);
typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef int (*tcgetattr_fn)(int, struct termios*);
typedef int (*tcsetattr_fn)(int, int, const struct termios*);

static int real_ioctl(int fd, unsigned long request, void* arg)
{
    ioctl_fn fn = REAL(ioctl_fn, ioctl);
    return fn(fd, request, arg);
}

/* ---- finding our ports ---- */

/* Where the program may keep its ports, whatever this application's environment says (it may
 * have been started with another XDG_RUNTIME_DIR than the program, or none): the program's
 * choice under this application's XDG_RUNTIME_DIR, the user's runtime directory, the fallback
 * without one, and the choice under the XDG_RUNTIME_DIR of each MV5840VSP of this user that
 * runs. Each counts only as the program makes it: a real directory of this user, closed to
 * others. */
#define FIXED_PLACES 3

static int fixed_place(int place, char* out, size_t size)
{
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    int n = -1;
    if (place == 0 && runtime && runtime[0] == '/')
        n = snprintf(out, size, "%s/MV5840VSP", runtime);
    else if (place == 1)
        n = snprintf(out, size, "/run/user/%u/MV5840VSP", (unsigned)geteuid());
    else if (place == 2)
        n = snprintf(out, size, "/tmp/MV5840VSP-%u", (unsigned)geteuid());
    return n > 0 && (size_t)n < size;
}

static int open_port_directory(const char* path)
{
    if (!path[0])
        return -1;
    int dir = (int)syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (dir >= 0 && (fstat(dir, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077) != 0)) {
        syscall(SYS_close, dir);
        return -1;
    }
    return dir;
}

/* The name of the port whose link in the directory reaches the pseudo-terminal slave rdev; 0
 * when none does. */
static int find_port_in(const char* path, dev_t rdev, char* name)
{
    int dir = open_port_directory(path);
    if (dir < 0)
        return 0;
    char buffer[4096];
    int found = 0;
    long n;
    while (!found && (n = syscall(SYS_getdents64, dir, buffer, sizeof buffer)) > 0) {
        for (long at = 0; at < n && !found;) {
            const struct dirent64* entry = (const void*)(buffer + at);
            at += entry->d_reclen;
            struct stat st;
            if (entry->d_name[0] == '.' || entry->d_type != DT_LNK || strlen(entry->d_name) >= NAME_LEN
                || fstatat(dir, entry->d_name, &st, 0) != 0)
                continue;
            if (S_ISCHR(st.st_mode) && st.st_rdev == rdev) {
                strcpy(name, entry->d_name);
                found = 1;
            }
        }
    }
    syscall(SYS_close, dir);
    return found;
}

/* The port directory of process pid when it is an MV5840VSP of this user: its
 * XDG_RUNTIME_DIR's, or the fallback without one. */
static int program_place(const char* pid, char* out, size_t size)
{
    char path[64], text[4096];
    snprintf(path, sizeof path, "/proc/%s/comm", pid);
    int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat st;
    ssize_t n = fstat(fd, &st) == 0 && st.st_uid == geteuid() ? read(fd, text, sizeof text - 1) : -1;
    syscall(SYS_close, fd);
    if (n != 10 || memcmp(text, "MV5840VSP\n", 10) != 0)
        return 0;
    snprintf(path, sizeof path, "/proc/%s/environ", pid);
    fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    /* Entries end with a NUL; one may straddle two reads, so what is left of it moves to the
     * front. An entry longer than the buffer is skipped to its end. */
    static const char key[] = "XDG_RUNTIME_DIR=";
    const size_t keyLength = sizeof key - 1;
    size_t kept = 0;
    int found = 0, skipping = 0;
    while (!found && (n = read(fd, text + kept, sizeof text - 1 - kept)) > 0) {
        const size_t end = kept + (size_t)n;
        size_t start = 0;
        for (size_t i = 0; i < end && !found; ++i) {
            if (text[i] != '\0')
                continue;
            if (!skipping && i - start > keyLength && memcmp(text + start, key, keyLength) == 0
                && text[start + keyLength] == '/') {
                const int m = snprintf(out, size, "%s/MV5840VSP", text + start + keyLength);
                found = m > 0 && (size_t)m < size;
            }
            skipping = 0;
            start = i + 1;
        }
        kept = end - start;
        if (kept >= sizeof text - 1) {
            kept = 0;
            skipping = 1;
        }
        memmove(text, text + start, kept);
    }
    syscall(SYS_close, fd);
    if (found)
        return 1;
    const int m = snprintf(out, size, "/tmp/MV5840VSP-%u", (unsigned)geteuid());
    return m > 0 && (size_t)m < size;
}

/* The port reaching slave rdev, and the directory its link is in. */
static int find_port(dev_t rdev, char* name, char* place, size_t size)
{
    for (int i = 0; i < FIXED_PLACES; ++i) {
        if (fixed_place(i, place, size) && find_port_in(place, rdev, name))
            return 1;
    }
    int proc = (int)syscall(SYS_openat, AT_FDCWD, "/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0)
        return 0;
    char buffer[4096];
    int found = 0;
    long n;
    while (!found && (n = syscall(SYS_getdents64, proc, buffer, sizeof buffer)) > 0) {
        for (long at = 0; at < n && !found;) {
            const struct dirent64* entry = (const void*)(buffer + at);
            at += entry->d_reclen;
            if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9' && program_place(entry->d_name, place, size))
                found = find_port_in(place, rdev, name);
        }
    }
    syscall(SYS_close, proc);
    return found;
}

/* Unix98 pseudo-terminal slaves have majors 136 to 143. */
static int pty_slave(int fd, dev_t* rdev)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) < 136 || major(st.st_rdev) > 143)
        return 0;
    *rdev = st.st_rdev;
    return 1;
}

/* ---- the state the program reads ---- */

static unsigned rate_of(tcflag_t code)
{
    static const unsigned rates[] = {0,   50,   75,   110,  134,  150,  200,   300,
                                     600, 1200, 1800, 2400, 4800, 9600, 19200, 38400};
    static const unsigned high[] = {0,       57600,   115200,  230400,  460800,  500000,  576000,  921600,
                                    1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};
    code &= CBAUD;
    return code & CBAUDEX ? high[code & 017] : rates[code];
}

static char parity_letter(tcflag_t c)
{
    if (!(c & PARENB))
        return 'N';
    if (c & CMSPAR)
        return c & PARODD ? 'M' : 'S';
    return c & PARODD ? 'O' : 'E';
}

static void write_state(const struct line* l)
{
    char path[NAME_LEN + 8], text[STATE_LEN + 1];
    tcflag_t c = l->settings.c_cflag;
    const char* flow = c & CRTSCTS ? "rtscts" : l->settings.c_iflag & IXON ? "xonxoff" : "none";
    int n = snprintf(text, sizeof text, "baud=%u data=%d parity=%c stop=%d flow=%s dtr=%d rts=%d", l->settings.c_ospeed,
                     5 + (int)((c & CSIZE) >> 4), parity_letter(c), c & CSTOPB ? 2 : 1, flow, !!(l->modem & TIOCM_DTR),
                     !!(l->modem & TIOCM_RTS));
    if (n < 0 || n >= STATE_LEN)
        return;
    memset(text + n, ' ', STATE_LEN - 1 - n); /* fixed size: a reader never sees a shorter tail */
    text[STATE_LEN - 1] = '\n';
    snprintf(path, sizeof path, ".%s.line", l->name);
    int dir = open_port_directory(l->place);
    if (dir < 0)
        return;
    int fd = (int)syscall(SYS_openat, dir, path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd >= 0) {
        /* Cut off whatever longer text stood there; failing that, readers refuse the file. */
        if (pwrite(fd, text, STATE_LEN, 0) == STATE_LEN)
            (void)!ftruncate(fd, STATE_LEN);
        syscall(SYS_close, fd);
    }
    syscall(SYS_close, dir);
}

static void remove_state(const struct line* l)
{
    char path[NAME_LEN + 8];
    snprintf(path, sizeof path, ".%s.line", l->name);
    int dir = open_port_directory(l->place);
    if (dir >= 0) {
        unlinkat(dir, path, 0);
        syscall(SYS_close, dir);
    }
}

/* ---- the descriptor table (callers hold table_lock) ---- */

static void release_locked(int fd)
{
    if (fd < 0 || fd >= MAX_FDS || !fd_line[fd])
        return;
    struct line* l = &lines[fd_line[fd] - 1];
    fd_line[fd] = 0;
    if (--l->refs > 0)
        return;
    /* The state file now tells of another open of the same port here, if there is one. */
    for (int i = 0; i < MAX_LINES; ++i) {
        if (lines[i].refs && lines[i].rdev == l->rdev) {
            write_state(&lines[i]);
            return;
        }
    }
    remove_state(l);
}

static void share_locked(int from, int to)
{
    if (to < 0 || to >= MAX_FDS)
        return;
    release_locked(to);
    if (from >= 0 && from < MAX_FDS && fd_line[from]) {
        fd_line[to] = fd_line[from];
        lines[fd_line[to] - 1].refs++;
    }
}

/* The line behind fd, or null; a descriptor that stopped being the slave it was is dropped. */
static struct line* lookup_locked(int fd)
{
    if (fd < 0 || fd >= MAX_FDS || !fd_line[fd])
        return NULL;
    struct line* l = &lines[fd_line[fd] - 1];
    dev_t rdev;
    if (!pty_slave(fd, &rdev) || rdev != l->rdev) {
        release_locked(fd);
        return NULL;
    }
    return l;
}

/* Reads back what an earlier program in this process left in the state file (it exec'd us). */
static void restore_state(struct line* l)
{
    char path[NAME_LEN + 8], text[STATE_LEN + 1];
    snprintf(path, sizeof path, ".%s.line", l->name);
    int dir = open_port_directory(l->place);
    if (dir < 0)
        return;
    int fd = (int)syscall(SYS_openat, dir, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    syscall(SYS_close, dir);
    if (fd < 0)
        return;
    ssize_t n = pread(fd, text, STATE_LEN, 0);
    syscall(SYS_close, fd);
    if (n <= 0)
        return;
    text[n] = '\0';
    const char* p;
    tcflag_t* c = &l->settings.c_cflag;
    if ((p = strstr(text, "data=")) && p[5] >= '5' && p[5] <= '8')
        *c = (*c & ~CSIZE) | ((tcflag_t)(p[5] - '5') << 4);
    if ((p = strstr(text, "parity="))) {
        *c &= ~(tcflag_t)(PARENB | PARODD | CMSPAR);
        switch (p[7]) {
        case 'E': *c |= PARENB; break;
        case 'O': *c |= PARENB | PARODD; break;
        case 'M': *c |= PARENB | PARODD | CMSPAR; break;
        case 'S': *c |= PARENB | CMSPAR; break;
        }
    }
    if (strstr(text, "dtr=0"))
        l->modem &= ~TIOCM_DTR;
    if (strstr(text, "rts=0"))
        l->modem &= ~TIOCM_RTS;
}

/* Records a newly made descriptor: ours when it is the slave behind one of the port links. */
static void track(int fd, int inherited)
{
    if (fd < 0 || fd >= MAX_FDS)
        return;
    dev_t rdev;
    char name[NAME_LEN];
    char place[PLACE_LEN];
    int ours = pty_slave(fd, &rdev) && find_port(rdev, name, place, sizeof place);
    struct kernel_termios2 now;
    if (ours && real_ioctl(fd, K_TCGETS2, &now) != 0)
        ours = 0;
    pthread_mutex_lock(&table_lock);
    release_locked(fd);
    for (int i = 0; ours && i < MAX_LINES; ++i) {
        struct line* l = &lines[i];
        if (l->refs)
            continue;
        l->refs = 1;
        l->rdev = rdev;
        strcpy(l->name, name);
        strcpy(l->place, place);
        l->settings = now;
        /* An open raises DTR and RTS on a serial port. */
        l->modem = TIOCM_DTR | TIOCM_RTS;
        if (inherited)
            restore_state(l);
        fd_line[fd] = (short)(i + 1);
        write_state(l);
        break;
    }
    pthread_mutex_unlock(&table_lock);
}

static int tracked(int fd, int saved_errno)
{
    if (fd >= 0) {
        track(fd, 0);
        errno = saved_errno;
    }
    return fd;
}

static void lock_table(void)
{
    pthread_mutex_lock(&table_lock);
}
static void unlock_table(void)
{
    pthread_mutex_unlock(&table_lock);
}

/* Descriptors inherited across exec were ours in the program before: take them up again. */
__attribute__((constructor)) static void start(void)
{
    /* Held across fork, so a child never starts with the table half changed. */
    pthread_atfork(lock_table, unlock_table, unlock_table);
    int saved = errno;
    int dir = (int)syscall(SYS_openat, AT_FDCWD, "/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        char buffer[4096];
        long n;
        while ((n = syscall(SYS_getdents64, dir, buffer, sizeof buffer)) > 0) {
            for (long at = 0; at < n;) {
                const struct dirent64* entry = (const void*)(buffer + at);
                at += entry->d_reclen;
                int fd = atoi(entry->d_name);
                if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9' && fd != dir)
                    track(fd, 1);
            }
        }
        syscall(SYS_close, dir);
    }
    errno = saved;
}

/* ---- settings ---- */

/* The speed the kernel derives from a baud code; custom rates (BOTHER) keep the given one. */
static void derive_speeds(struct kernel_termios2* t, const struct kernel_termios2* before)
{
    tcflag_t out = t->c_cflag & CBAUD;
    tcflag_t in = (t->c_cflag >> K_IBSHIFT) & CBAUD;
    if (out != K_BOTHER)
        t->c_ospeed = rate_of(out);
    else if (before)
        t->c_ospeed = before->c_ospeed;
    if (in == 0)
        t->c_ispeed = t->c_ospeed;
    else if (in != K_BOTHER)
        t->c_ispeed = rate_of(in);
    else if (before)
        t->c_ispeed = before->c_ispeed;
}

/* Stores what the application asked for and gives the real terminal the same with 8 data
 * bits and no parity; request is one of the TCSETS2 family, so draining and flushing happen
 * as the application asked. The real call may wait for output to drain: it runs unlocked. */
static int apply(int fd, unsigned long request, const struct kernel_termios2* t)
{
    struct kernel_termios2 applied = *t;
    applied.c_cflag = (applied.c_cflag & ~(tcflag_t)(CSIZE | PARENB | PARODD | CMSPAR)) | CS8;
    if (real_ioctl(fd, request, &applied) != 0)
        return -1;
    pthread_mutex_lock(&table_lock);
    struct line* l = lookup_locked(fd);
    if (l) {
        l->settings = *t;
        write_state(l);
    }
    pthread_mutex_unlock(&table_lock);
    return 0;
}

static unsigned long settings2_request(unsigned long request)
{
    if (request == TCSETSW || request == K_TCSETSW2)
        return K_TCSETSW2;
    if (request == TCSETSF || request == K_TCSETSF2)
        return K_TCSETSF2;
    return K_TCSETS2;
}

/* Modem lines: DTR and RTS as set, CTS, DSR and CD always asserted, RI never. */
static int modem_locked(struct line* l, unsigned long request, int* arg)
{
    const int settable = TIOCM_DTR | TIOCM_RTS;
    switch (request) {
    case TIOCMGET: *arg = l->modem | TIOCM_CTS | TIOCM_DSR | TIOCM_CD; return 0;
    case TIOCMSET: l->modem = *arg & settable; break;
    case TIOCMBIS: l->modem |= *arg & settable; break;
    case TIOCMBIC: l->modem &= ~(*arg & settable); break;
    }
    write_state(l);
    return 0;
}

/* Lines that never change: wait like a driver would, until a signal or until the port goes
 * away (the program hung it up), rather than returning at once and making callers spin. */
static int wait_for_change(int fd)
{
    struct pollfd p = {fd, 0, 0};
    for (;;) {
        int n = poll(&p, 1, -1);
        if (n < 0)
            return -1; /* EINTR from a signal, as the driver gives */
        if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            errno = EIO;
            return -1;
        }
    }
}

/* The application's settings of fd when it is ours; false for every other descriptor. */
static int our_settings(int fd, struct kernel_termios2* out)
{
    pthread_mutex_lock(&table_lock);
    struct line* l = lookup_locked(fd);
    if (l)
        *out = l->settings;
    pthread_mutex_unlock(&table_lock);
    return l != NULL;
}

static int is_settings_request(unsigned long request)
{
    switch (request) {
    case TCGETS:
    case TCSETS:
    case TCSETSW:
    case TCSETSF:
    case K_TCGETS2:
    case K_TCSETS2:
    case K_TCSETSW2:
    case K_TCSETSF2: return 1;
    }
    return 0;
}

static int is_modem_request(unsigned long request)
{
    switch (request) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCMIWAIT:
    case TIOCGICOUNT: return 1;
    }
    return 0;
}

static int settings_ioctl(int fd, unsigned long request, void* arg, struct kernel_termios2* t)
{
    switch (request) {
    case TCGETS: memcpy(arg, t, KERNEL_TERMIOS_SIZE); return 0;
    case K_TCGETS2: memcpy(arg, t, sizeof *t); return 0;
    case TCSETS:
    case TCSETSW:
    case TCSETSF: {
        struct kernel_termios2 before = *t;
        memcpy(t, arg, KERNEL_TERMIOS_SIZE);
        derive_speeds(t, &before);
        return apply(fd, settings2_request(request), t);
    }
    default:
        memcpy(t, arg, sizeof *t);
        derive_speeds(t, NULL);
        return apply(fd, request, t);
    }
}

static int modem_ioctl(int fd, unsigned long request, void* arg)
{
    pthread_mutex_lock(&table_lock);
    struct line* l = lookup_locked(fd);
    if (l && request == TIOCGICOUNT)
        memset(arg, 0, sizeof(struct serial_icounter_struct));
    else if (l && request != TIOCMIWAIT)
        modem_locked(l, request, arg);
    pthread_mutex_unlock(&table_lock);
    if (!l)
        return -2;
    return request == TIOCMIWAIT ? wait_for_change(fd) : 0;
}

EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);

    int saved = errno;
    int result = -2; /* not ours */
    struct kernel_termios2 t;
    if (is_settings_request(request) && our_settings(fd, &t))
        result = settings_ioctl(fd, request, arg, &t);
    else if (is_modem_request(request))
        result = modem_ioctl(fd, request, arg);
    if (result == -2) {
        errno = saved;
        return real_ioctl(fd, request, arg);
    }
    if (result == 0)
        errno = saved;
    return result;
}

/* glibc's terminal calls go to the kernel directly, so they are caught here as well. */
EXPORT int tcgetattr(int fd, struct termios* out)
{
    tcgetattr_fn fn = REAL(tcgetattr_fn, tcgetattr);
    int result = fn(fd, out);
    struct kernel_termios2 t;
    if (result != 0 || !our_settings(fd, &t))
        return result;
    /* The fields glibc fills from the kernel, filled the same way from what was set. */
    out->c_iflag = t.c_iflag;
    out->c_oflag = t.c_oflag;
    out->c_cflag = t.c_cflag;
    out->c_lflag = t.c_lflag;
    out->c_line = t.c_line;
    memcpy(out->c_cc, t.c_cc, KERNEL_NCCS);
    out->c_ispeed = t.c_cflag & (CBAUD | CBAUDEX);
    out->c_ospeed = t.c_cflag & (CBAUD | CBAUDEX);
    return 0;
}

EXPORT int tcsetattr(int fd, int action, const struct termios* in)
{
    tcsetattr_fn fn = REAL(tcsetattr_fn, tcsetattr);
    static const unsigned long requests[] = {K_TCSETS2, K_TCSETSW2, K_TCSETSF2};
    int saved = errno;
    struct kernel_termios2 t;
    if (action < TCSANOW || action > TCSAFLUSH || !our_settings(fd, &t))
        return fn(fd, action, in);
    struct kernel_termios2 before = t;
    t.c_iflag = in->c_iflag & ~(tcflag_t)IBAUD0;
    t.c_oflag = in->c_oflag;
    t.c_cflag = in->c_cflag;
    t.c_lflag = in->c_lflag;
    t.c_line = in->c_line;
    memcpy(t.c_cc, in->c_cc, KERNEL_NCCS);
    derive_speeds(&t, &before);
    int result = apply(fd, requests[action], &t);
    if (result == 0)
        errno = saved;
    return result;
}

/* ---- descriptors coming and going ---- */

EXPORT int open(const char* path, int flags, ...)
{
    open_fn fn = REAL(open_fn, open);
    va_list ap;
    va_start(ap, flags);
    mode_t mode = NEEDS_MODE(flags) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    int fd = fn(path, flags, mode);
    return tracked(fd, errno);
}

EXPORT int open64(const char* path, int flags, ...)
{
    open_fn fn = REAL(open_fn, open64);
    va_list ap;
    va_start(ap, flags);
    mode_t mode = NEEDS_MODE(flags) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    int fd = fn(path, flags, mode);
    return tracked(fd, errno);
}

EXPORT int openat(int dir, const char* path, int flags, ...)
{
    openat_fn fn = REAL(openat_fn, openat);
    va_list ap;
    va_start(ap, flags);
    mode_t mode = NEEDS_MODE(flags) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    int fd = fn(dir, path, flags, mode);
    return tracked(fd, errno);
}

EXPORT int openat64(int dir, const char* path, int flags, ...)
{
    openat_fn fn = REAL(openat_fn, openat64);
    va_list ap;
    va_start(ap, flags);
    mode_t mode = NEEDS_MODE(flags) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    int fd = fn(dir, path, flags, mode);
    return tracked(fd, errno);
}

/* What glibc calls instead of open when built with _FORTIFY_SOURCE. */
EXPORT int __open_2(const char* path, int flags)
{
    open2_fn fn = REAL(open2_fn, __open_2);
    int fd = fn(path, flags);
    return tracked(fd, errno);
}

EXPORT int __open64_2(const char* path, int flags)
{
    open2_fn fn = REAL(open2_fn, __open64_2);
    int fd = fn(path, flags);
    return tracked(fd, errno);
}

EXPORT int __openat_2(int dir, const char* path, int flags)
{
    openat2_fn fn = REAL(openat2_fn, __openat_2);
    int fd = fn(dir, path, flags);
    return tracked(fd, errno);
}

EXPORT int __openat64_2(int dir, const char* path, int flags)
{
    openat2_fn fn = REAL(openat2_fn, __openat64_2);
    int fd = fn(dir, path, flags);
    return tracked(fd, errno);
}

static FILE* tracked_file(FILE* file)
{
    if (file) {
        int saved = errno;
        track(fileno(file), 0);
        errno = saved;
    }
    return file;
}

EXPORT FILE* fopen(const char* path, const char* mode)
{
    fopen_fn fn = REAL(fopen_fn, fopen);
    return tracked_file(fn(path, mode));
}

EXPORT FILE* fopen64(const char* path, const char* mode)
{
    fopen_fn fn = REAL(fopen_fn, fopen64);
    return tracked_file(fn(path, mode));
}

static void forget(int fd)
{
    pthread_mutex_lock(&table_lock);
    release_locked(fd);
    pthread_mutex_unlock(&table_lock);
}

EXPORT int close(int fd)
{
    close_fn fn = REAL(close_fn, close);
    /* Forgotten first: once closed, the number may already belong to another thread's open. */
    int saved = errno;
    forget(fd);
    errno = saved;
    return fn(fd);
}

EXPORT int fclose(FILE* file)
{
    fclose_fn fn = REAL(fclose_fn, fclose);
    int saved = errno;
    if (file)
        forget(fileno(file));
    errno = saved;
    return fn(file);
}

static int duplicated(int from, int to)
{
    if (to >= 0) {
        int saved = errno;
        pthread_mutex_lock(&table_lock);
        share_locked(from, to);
        pthread_mutex_unlock(&table_lock);
        errno = saved;
    }
    return to;
}

EXPORT int dup(int fd)
{
    dup_fn fn = REAL(dup_fn, dup);
    return duplicated(fd, fn(fd));
}

EXPORT int dup2(int fd, int to)
{
    dup2_fn fn = REAL(dup2_fn, dup2);
    int result = fn(fd, to);
    return fd == to ? result : duplicated(fd, result);
}

EXPORT int dup3(int fd, int to, int flags)
{
    dup3_fn fn = REAL(dup3_fn, dup3);
    return duplicated(fd, fn(fd, to, flags));
}

static int fcntl_common(fcntl_fn fn, int fd, int cmd, void* arg)
{
    int result = fn(fd, cmd, arg);
    if (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC)
        return duplicated(fd, result);
    return result;
}

EXPORT int fcntl(int fd, int cmd, ...)
{
    fcntl_fn fn = REAL(fcntl_fn, fcntl);
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return fcntl_common(fn, fd, cmd, arg);
}

EXPORT int fcntl64(int fd, int cmd, ...)
{
    fcntl_fn fn = REAL(fcntl_fn, fcntl64);
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return fcntl_common(fn, fd, cmd, arg);
}
