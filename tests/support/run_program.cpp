#include "run_program.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void set_nonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

} // namespace

void exec_program(const std::vector<std::string>& argv, const program_options& options) {
    if (!options.directory.empty() && chdir(options.directory.c_str()) != 0)
        _exit(127);
    for (const std::string& setting : options.environment)
        putenv(const_cast<char*>(setting.c_str()));
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

pid_t start_program(const std::vector<std::string>& argv, const program_options& options,
                    int& in_fd, int& out_fd, int& err_fd) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        exec_program(argv, options);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    in_fd = in_pipe[1];
    out_fd = out_pipe[0];
    err_fd = err_pipe[0];
    return pid;
}

program_result run_program(const std::vector<std::string>& argv, const program_options& options) {
    program_result result;
    int in_fd, out_fd, err_fd;
    pid_t pid = start_program(argv, options, in_fd, out_fd, err_fd);
    if (pid < 0)
        return result;
    // A child that stops reading its input must not kill the test.
    std::signal(SIGPIPE, SIG_IGN);
    set_nonblocking(in_fd);

    std::size_t written = 0;
    if (options.input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    bool out_open = true, err_open = true;
    while (out_open || err_open || in_fd >= 0) {
        pollfd fds[3];
        int n = 0;
        if (out_open)
            fds[n++] = {out_fd, POLLIN, 0};
        if (err_open)
            fds[n++] = {err_fd, POLLIN, 0};
        if (in_fd >= 0)
            fds[n++] = {in_fd, POLLOUT, 0};
        if (poll(fds, n, -1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0)
                continue;
            if (fds[i].fd == in_fd) {
                ssize_t w =
                    write(in_fd, options.input.data() + written, options.input.size() - written);
                if (w > 0)
                    written += static_cast<std::size_t>(w);
                if (w < 0 || written == options.input.size()) {
                    close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            char buffer[65536];
            ssize_t r = read(fds[i].fd, buffer, sizeof buffer);
            bool is_out = fds[i].fd == out_fd;
            if (r > 0)
                (is_out ? result.out : result.err).append(buffer, static_cast<std::size_t>(r));
            else
                (is_out ? out_open : err_open) = false;
        }
    }
    close(out_fd);
    close(err_fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}
