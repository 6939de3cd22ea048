#include <stdio.h>

#include "dump/binread.h"

int main(int argc, char **argv)
{
    return binread_run(argc, argv, stdout, stderr);
}
