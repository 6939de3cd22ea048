/*
 * Start-up of the daemon and its signal handling.
 *
 * Life-cycle: the main thread parses the command line, opens the system
 * log, blocks the signals and hands them to a dedicated signal thread, loads
 * the configuration, creates the queue and one capture thread per device,
 * waits until each device was opened or refused (none opened of those
 * named ends the daemon), then runs the accounting cycle until a stop
 * request and the last dumps are written. It ends itself with
 * pthread_exit, so the process lives on until the capture threads have
 * seen the stop, and then exits with status 0.
 *
 * No signal handler runs asynchronously: SIGHUP, SIGUSR1, SIGTERM and SIGINT
 * are blocked in every thread (threads inherit the mask) and taken with
 * sigtimedwait by the signal thread, which may therefore print the status
 * report. After a stop request it stays while the last dumps are written:
 * a second SIGTERM or SIGINT then ends the process at once with status 1,
 * so a hanging back-end never needs SIGKILL. It leaves once the dumps are
 * written, so it never keeps the process alive.
 *
 * -t reads the configuration and prints its summary, and nothing else: no
 * log, no signal thread, no device, no database.
 */
#include "core/daemon.h"

#include <argp.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>

#include "capture/capture.h"
#include "capture/queue.h"
#include "core/cycle.h"
#include "core/state.h"
#include "core/status.h"
#include "dump/dump.h"

#define SIGNAL_POLL_MS 100 /* ms; how often the signal thread looks at `running` */

static const char *config_file = NORVO_DEFAULT_CONFIG;

const char *argp_program_version = "norvo " NORVO_VERSION;
const char *argp_program_bug_address = "<norvo-bugs@lists.norvo.dev>";

static const char daemon_doc[] =
    "Norvo -- Norvo sniffs you network interfaces and accounts the traffic on a IP basis. "
    "The configuration is very flexible allowing you to create different/multiple accounting "
    "rules. The collected data is stored using Mysql, PgSQL, Syslog or files.\v";

static const struct argp_option daemon_options[] = {
    {"debug", 'd', nullptr, 0, "Produce debug output", 0},
    {"config", 'c', "FILE", 0, "Configuration File default: " NORVO_DEFAULT_CONFIG, 0},
    {"test-config", 't', nullptr, 0,
     "Read the configuration, print its summary and every warning, and exit: 0 when it is "
     "usable, 1 when it is not. Opens no device and no database", 0},
    {nullptr, 0, nullptr, 0, nullptr, 0},
};

struct daemon_arguments {
    int debug;
    const char *config_file;
    int test_config;
};

/* Set once the settings are complete: a SIGUSR1 before that prints nothing,
 * and only then may the signal thread read the categories. */
static std::atomic<int> daemon_config_ready{0};
/* Set once the last dumps after a stop are written. */
static std::atomic<int> daemon_dumps_written{0};

static error_t parse_option(int key, char *arg, struct argp_state *state)
{
    struct daemon_arguments *args = (struct daemon_arguments *)state->input;
    switch (key) {
    case 'c':
        args->config_file = arg;
        return 0;
    case 'd':
        args->debug = 1;
        return 0;
    case 't':
        args->test_config = 1;
        return 0;
    default:
        return ARGP_ERR_UNKNOWN;
    }
}

static const struct argp daemon_argp = {daemon_options, parse_option, "", daemon_doc,
                                        nullptr, nullptr, nullptr};

static void daemon_signal_set(sigset_t *set)
{
    sigemptyset(set);
    sigaddset(set, SIGUSR1);
    sigaddset(set, SIGHUP);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGINT);
}

/*
 * A second stop signal while the last dumps are written: the process ends
 * now, naming the categories whose dumps did not finish. No stdio: a hung
 * dump may hold standard output's lock.
 */
static void daemon_abandon_dumps(void)
{
    char names[1024] = "";
    size_t used = 0;
    if (daemon_config_ready.load()) {
        for (const struct cat *c = config->cats; c; c = c->next) {
            if (dump_running(c) == 0)
                continue;
            int added = snprintf(names + used, sizeof names - used, "%s%s", used ? ", " : "",
                                 c->name);
            if (added < 0 || (size_t)added >= sizeof names - used)
                break;
            used += (size_t)added;
        }
    }
    if (used > 0)
        log_msg(LOG_ERR, "Second stop signal: exiting without the dumps of categories %s, "
                "which did not finish", names);
    else
        log_msg(LOG_ERR, "Second stop signal: exiting before the last dumps were started");
    _exit(1);
}

static void *daemon_signal_thread(void *)
{
    sigset_t set;
    daemon_signal_set(&set);
    const struct timespec poll = {0, SIGNAL_POLL_MS * NS_PER_MS};
    while (!daemon_dumps_written.load()) {
        int sig = sigtimedwait(&set, nullptr, &poll);
        if (sig < 0)
            continue; /* time-out or EINTR: look at the flags again */
        switch (sig) {
        case SIGHUP:
            cycle_start.store(0);
            break;
        case SIGUSR1:
            if (daemon_config_ready.load())
                print_status();
            break;
        default: /* SIGTERM, and SIGINT so that Ctrl-C keeps the last counts */
            if (running.exchange(0) == 0)
                daemon_abandon_dumps();
            break;
        }
    }
    return nullptr;
}

/* Signal set-up: from here on the signals reach only the signal thread. */
static void daemon_install_signals(void)
{
    sigset_t set;
    daemon_signal_set(&set);
    int err = pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (err == 0) {
        pthread_attr_t attr;
        pthread_t thread;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        err = pthread_create(&thread, &attr, daemon_signal_thread, nullptr);
        pthread_attr_destroy(&attr);
    }
    if (err != 0) {
        fprintf(stderr, "Norvo: Cannot set up signal handling: %s\n", strerror(err));
        log_msg(LOG_ERR, "Cannot set up signal handling: %s", strerror(err));
        exit(1);
    }
}

/* Writes are checked where they happen; a reader that went away must not
 * end the daemon with its counts (the database client did this alone). */
static void daemon_ignore_sigpipe(void)
{
    struct sigaction ignore;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGPIPE, &ignore, nullptr) != 0) {
        fprintf(stderr, "Norvo: Cannot ignore SIGPIPE: %s\n", strerror(errno));
        exit(1);
    }
}

static void daemon_start_captures(void)
{
    int number = 1;
    for (struct device *d = config->devices; d; d = d->next, number++) {
        log_msg(LOG_INFO, "Listening on device %s.", d->name);
        debug_printf("Forking for the %d. time: Device: %s\n", number, d->name);
        int err = pthread_create(&d->thread, &thread_attr, capture_thread, d);
        if (err != 0) {
            log_msg(LOG_ERR, "Cannot start the capture thread of device %s: %s", d->name,
                    strerror(err));
            capture_refuse_device(d->name, strerror(err));
        }
    }
}

/* A daemon that was given devices and can open none of them would count
 * nothing for ever while looking healthy: it ends instead. */
static void daemon_check_captures(void)
{
    if (config->device_count == 0)
        return;
    char reasons[1024];
    if (capture_wait_opened(config->device_count, reasons, sizeof reasons) != 0)
        return;
    fprintf(stderr, "Norvo: None of the %d devices could be opened: %s\n", config->device_count,
            reasons);
    log_msg(LOG_ERR, "None of the %d devices could be opened: %s", config->device_count,
            reasons);
    exit(1);
}

/* -t: the settings as the daemon would run with them. */
static void daemon_test_config(const char *path)
{
    struct settings *settings = (struct settings *)calloc(1, sizeof *settings);
    if (!settings) {
        fprintf(stderr, "Norvo: Cannot allocate the settings: %s\n", strerror(errno));
        exit(1);
    }
    config_load(settings, path); /* ends the process with 1 when unusable */
    status_write_summary(stdout, settings);
    exit(fflush(stdout) == 0 ? 0 : 1);
}

int daemon_main(int argc, char **argv)
{
    /* rows and reports reach a pipe or the journal at once, each line whole */
    setvbuf(stdout, nullptr, _IOLBF, 0);

    struct daemon_arguments args = {0, NORVO_DEFAULT_CONFIG, 0};
    argp_parse(&daemon_argp, argc, argv, 0, nullptr, &args);
    debug.store(args.debug);
    config_file = args.config_file;
    if (args.test_config)
        daemon_test_config(config_file);

    if (debug) {
        puts("Debugging Mode Enabled\n");
        printf("CONFIG_FILE = %s\nDEBUG = %s\n\n", config_file, "yes");
    }
    cycle_start.store(cycle_clock());
    daemon_ignore_sigpipe();
    openlog("norvo", LOG_PID, LOG_DAEMON);
    log_msg(LOG_NOTICE, "Starting norvo Version %s", NORVO_VERSION);
    /* the database client library must be set up before any thread exists */
    if (dump_library_init() != 0)
        exit(1);
    daemon_install_signals();

    if (debug)
        puts("Initializing Mutex");

    if (debug)
        puts("Reading Config");
    config = (struct settings *)calloc(1, sizeof *config);
    if (!config) {
        fprintf(stderr, "Norvo: Cannot allocate the settings: %s\n", strerror(errno));
        exit(1);
    }
    config_load(config, config_file);
    if (dump_track(config->cats) != 0)
        exit(1);
    daemon_config_ready.store(1);

    if (debug)
        print_status();
    if (queue_init(config->buffer_size) != 0)
        exit(1);

    for (struct cat *c = config->cats; c; c = c->next)
        log_msg(LOG_INFO, "Loading Category %s. Dump-Type: %s", c->name,
                dump_type_name(c->dump_type));

    if (debug)
        puts("Starting Thread sequence...");
    pthread_attr_init(&thread_attr);
    pthread_attr_setdetachstate(&thread_attr, PTHREAD_CREATE_DETACHED);
    daemon_start_captures();
    daemon_check_captures();

    cycle_run();
    log_msg(LOG_NOTICE, "Norvo terminated");
    daemon_dumps_written.store(1);
    pthread_exit(nullptr);
}
