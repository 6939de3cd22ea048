/*
 * Start-up of the daemon and its signal handling.
 *
 * Life-cycle: the main thread parses the command line, opens the system
 * log, blocks the signals and hands them to a dedicated signal thread, loads
 * the configuration, creates the queue and one capture thread per device,
 * then runs the accounting cycle until a stop request. It ends itself with
 * pthread_exit, so the process lives on until the last dump and capture
 * thread has finished, and then exits with status 0.
 *
 * No signal handler runs asynchronously: SIGHUP, SIGUSR1, SIGTERM and SIGINT
 * are blocked in every thread (threads inherit the mask) and taken with
 * sigtimedwait by the signal thread, which may therefore print the status
 * report. It leaves once `running` is cleared, so it never keeps the
 * process alive after a stop.
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
    {nullptr, 0, nullptr, 0, nullptr, 0},
};

struct daemon_arguments {
    int debug;
    const char *config_file;
};

/* Set once the settings are complete: a SIGUSR1 before that prints nothing. */
static std::atomic<int> daemon_config_ready{0};

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

static void *daemon_signal_thread(void *)
{
    sigset_t set;
    daemon_signal_set(&set);
    const struct timespec poll = {0, SIGNAL_POLL_MS * NS_PER_MS};
    while (running.load()) {
        int sig = sigtimedwait(&set, nullptr, &poll);
        if (sig < 0)
            continue; /* time-out or EINTR: look at `running` again */
        switch (sig) {
        case SIGHUP:
            cycle_start.store(0);
            break;
        case SIGUSR1:
            if (daemon_config_ready.load())
                print_status();
            break;
        default: /* SIGTERM, and SIGINT so that Ctrl-C keeps the last counts */
            running.store(0);
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

static void daemon_start_captures(void)
{
    int number = 1;
    for (struct device *d = config->devices; d; d = d->next, number++) {
        log_msg(LOG_INFO, "Listening on device %s.", d->name);
        debug_printf("Forking for the %d. time: Device: %s\n", number, d->name);
        int err = pthread_create(&d->thread, &thread_attr, capture_thread, d);
        if (err != 0) {
            printf("Error opening device %s\n", d->name);
            log_msg(LOG_ERR, "Cannot start the capture thread of device %s: %s", d->name,
                    strerror(err));
        }
    }
}

int daemon_main(int argc, char **argv)
{
    /* rows and reports reach a pipe or the journal at once, each line whole */
    setvbuf(stdout, nullptr, _IOLBF, 0);

    struct daemon_arguments args = {0, NORVO_DEFAULT_CONFIG};
    argp_parse(&daemon_argp, argc, argv, 0, nullptr, &args);
    debug.store(args.debug);
    config_file = args.config_file;

    if (debug) {
        puts("Debugging Mode Enabled\n");
        printf("CONFIG_FILE = %s\nDEBUG = %s\n\n", config_file, "yes");
    }
    cycle_start.store(cycle_clock());
    if (dump_init() != 0)
        exit(1);
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

    cycle_run();
    log_msg(LOG_NOTICE, "Norvo terminated");
    pthread_exit(nullptr);
}
