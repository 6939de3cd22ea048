#include <stdio.h>

#include "binread/binread.h"

int main(int argc, char **argv)
{
    return binread_run(argc, argv, stdout, stderr);
}
