// Program entry of the player. The start-up sequence (options, applet
// container, script loading, run and shut-down) is not in this build yet;
// until it is, the program says so and ends.
#include <cstdio>

int main(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    // Waiting for the player start-up library: no applet can run yet.
    std::printf("Quillmere player [64-bit]: applet start-up is not built yet.\n");
    return 0;
}
