/*
 * The daemon's start-up: command line, system log, signals, settings,
 * queue, capture threads, then the accounting cycle.
 */
#ifndef NORVO_CORE_DAEMON_H
#define NORVO_CORE_DAEMON_H

#define NORVO_VERSION "0.7test"
#define NORVO_DEFAULT_CONFIG "/usr/local/etc/norvo.conf"

/* The whole daemon: start-up, the cycle, then pthread_exit. */
int daemon_main(int argc, char **argv);

#endif
