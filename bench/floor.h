/* tarnvik-floor (floor.c): the path's own time per data packet. */
#ifndef FLOOR_H
#define FLOOR_H

#ifdef __cplusplus
extern "C" {
#endif

/* The program's command line; returns its exit status. */
int floor_main(int argc, char **argv);

#ifdef __cplusplus
}
#endif

#endif /* FLOOR_H */
