#include "child_process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

child_end wait_for_end(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    child_end end;
    if (WIFSIGNALED(status))
        end.signal = WTERMSIG(status);
    else if (WIFEXITED(status))
        end.exit_status = WEXITSTATUS(status);
    return end;
}

// Reads one byte; false at the end of the pipe.
bool read_byte(int fd, char& byte) {
    ssize_t got;
    while ((got = read(fd, &byte, 1)) < 0 && errno == EINTR) {
    }
    return got == 1;
}

} // namespace

child_end run_child(const std::function<void(const std::function<void()>& ready)>& work,
                    int signal) {
    int ready_pipe[2];
    if (pipe(ready_pipe) != 0)
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        close(ready_pipe[0]);
        work([&] {
            char byte = 'r';
            if (write(ready_pipe[1], &byte, 1) != 1)
                _exit(126);
            pause();
        });
        _exit(0);
    }
    close(ready_pipe[1]);
    char byte;
    if (pid > 0 && read_byte(ready_pipe[0], byte) && signal != 0)
        kill(pid, signal);
    close(ready_pipe[0]);
    return pid > 0 ? wait_for_end(pid) : child_end{};
}

child_end interrupt_program(const std::vector<std::string>& argv, const program_options& options,
                            const std::string& wait_for, int signal, program_result& result) {
    int in_fd, out_fd, err_fd;
    pid_t pid = start_program(argv, options, in_fd, out_fd, err_fd);
    if (pid < 0)
        return {};
    std::signal(SIGPIPE, SIG_IGN);
    if (write(in_fd, options.input.data(), options.input.size()) !=
        static_cast<ssize_t>(options.input.size()))
        kill(pid, SIGKILL);
    char byte;
    while (result.out.find(wait_for) == std::string::npos && read_byte(out_fd, byte))
        result.out += byte;
    kill(pid, signal);
    while (read_byte(out_fd, byte))
        result.out += byte;
    while (read_byte(err_fd, byte))
        result.err += byte;
    for (int fd : {in_fd, out_fd, err_fd})
        close(fd);
    child_end end = wait_for_end(pid);
    result.exit_status = end.exit_status;
    return end;
}
