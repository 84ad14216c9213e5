// What cabinet_tool and kistle do when they are interrupted.
#ifndef KISTLE_TOOL_INTERRUPT_CLEANUP_H
#define KISTLE_TOOL_INTERRUPT_CLEANUP_H

// Lets SIGINT, SIGTERM and SIGHUP first remove the library's named temporary
// files and then end the program as they would have. A signal that was
// ignored at start (nohup) stays ignored.
void clean_up_on_interrupt();

#endif
