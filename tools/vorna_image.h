#pragma once
// vorna-image: host tool for boards and firmware images. Each subcommand is one
// function that takes the words after its name and returns the exit status.

/// `vorna-image board DESCRIPTION OUTDIR`; argv[0] is "board". 0 or 1.
int image_board_main(int argc, char** argv);

/// Prints the board subcommand's help on stdout.
void image_board_help();
