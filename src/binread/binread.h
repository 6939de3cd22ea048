/*
 * Reader of the binary dump files: turns their records, 20-byte IPv4 ones
 * or the 40-byte ones of an IPv6 (.v6) file, into CSV.
 * The logic of norvo-binread, kept apart from its main so that it can be
 * tested.
 */
#ifndef NORVO_BINREAD_BINREAD_H
#define NORVO_BINREAD_BINREAD_H

#include <stdio.h>

#define BINREAD_HEADER "ip,input,output,timetag"

/* One CSV line per whole record of `path` on `out`; problems on `err`,
 * naming the file. 0 when the file was read whole and consists of whole
 * records, 1 otherwise (unopenable, read error, trailing partial record,
 * an IPv6 header of another version or record size). */
int binread_file(const char *path, FILE *out, FILE *err);

/* The program: header line, then every file named in argv[1..]. Returns the
 * exit status: 0 all files read, 1 any failure or no file given. */
int binread_run(int argc, char **argv, FILE *out, FILE *err);

#endif
