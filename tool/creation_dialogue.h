// The interactive creation dialogue of cabinet_tool.
#ifndef KISTLE_TOOL_CREATION_DIALOGUE_H
#define KISTLE_TOOL_CREATION_DIALOGUE_H

// Asks for file names and a cabinet name on standard input and writes the
// cabinet. Returns the exit status: 0 when it was written, 1 otherwise.
int run_creation_dialogue();

#endif
