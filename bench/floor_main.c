/* tarnvik-floor on the hidapi the tool links (floor.c). */
#include "floor.h"

int main(int argc, char **argv)
{
    return floor_main(argc, argv);
}
