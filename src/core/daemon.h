/*
 * The daemon's start-up: command line, system log, signals, settings,
 * queue, capture threads, then the accounting cycle.
 */
#ifndef NORVO_CORE_DAEMON_H
#define NORVO_CORE_DAEMON_H

#include "norvo_build.h" /* NORVO_VERSION, NORVO_DEFAULT_CONFIG: set in CMakeLists.txt */

/* The whole daemon: start-up, the cycle, then pthread_exit. */
int daemon_main(int argc, char **argv);

#endif
