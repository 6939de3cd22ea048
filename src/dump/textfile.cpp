/*
 * "TextFile" back-end: appends a header line and one line per address whose
 * counts reach the divisor to the category's file. Each dump opens and
 * closes the file itself; dump_to_file keeps the dumps of categories that
 * share a file apart.
 */
#include "dump/backend.h"

static int textfile_write(FILE *file, struct cat *old_cat, void *)
{
    return dump_write_text(file, old_cat, 1);
}

int dump_textfile(struct cat *old_cat)
{
    return dump_to_file(old_cat, "textfile", textfile_write, nullptr);
}
