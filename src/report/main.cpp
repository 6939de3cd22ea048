#include <stdio.h>

#include "norvo_build.h"
#include "report/report.h"

const char *argp_program_version = "norvo-report " NORVO_VERSION;
const char *argp_program_bug_address = "<norvo-bugs@lists.norvo.dev>";

int main(int argc, char **argv)
{
    return report_run(argc, argv, stdout, stderr);
}
