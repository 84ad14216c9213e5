#include "creation_dialogue.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <kistle/cabinet_creator.h>
#include <kistle/cabinet_status.h>

namespace {

void report_failure(const char* what, int status) {
    std::fprintf(stderr, "%s%d\n", what, status);
    std::fflush(stderr);
}

void prompt(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// One line, at most 255 characters of it; a longer line comes in pieces.
// End of input or a read error leaves the reply empty.
void read_reply(char (&reply)[256]) {
    if (std::fgets(reply, sizeof reply, stdin) == nullptr)
        reply[0] = '\0';
}

// The statuses of a system call that failed, whose errno says why.
bool from_system_call(int status) {
    return status == CAB_ERROR_OPEN_FILE || status == CAB_ERROR_READ || status == CAB_ERROR_WRITE ||
           status == CAB_ERROR_FSTAT;
}

void remove_line_end(char* reply) {
    std::size_t length = std::strlen(reply);
    if (length > 0 && reply[length - 1] == '\n')
        reply[length - 1] = '\0';
}

} // namespace

int run_creation_dialogue() {
    cabinet_creator creator;
    char reply[256];
    if (int status = creator.open()) {
        report_failure("Open Error: ", status);
        return 1;
    }
    if (int status = creator.new_folder(1)) {
        report_failure("New Folder Error: ", status);
        return 1;
    }
    for (;;) {
        prompt("Enter filename: ");
        read_reply(reply);
        if (reply[0] == '\0' || std::strcmp(reply, "\n") == 0)
            break;
        remove_line_end(reply);
        // What perror reports must come from this call, not an earlier one.
        errno = 0;
        if (int status = creator.add_file(reply)) {
            if (from_system_call(status))
                std::perror("read");
            report_failure("Add file Error: ", status);
            std::fprintf(stderr, "Unable to open: %s\n", reply);
            std::fflush(stderr);
            return 1;
        }
    }
    prompt("Enter filename for cabinet: ");
    read_reply(reply);
    remove_line_end(reply);
    if (int status = creator.close(reply)) {
        report_failure("Close Error: ", status);
        return 1;
    }
    return 0;
}
