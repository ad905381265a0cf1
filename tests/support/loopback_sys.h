// The platform calls under loopback.cpp (loopback_posix.cpp, loopback_win.cpp): sockets are ints,
// addresses ports on 127.0.0.1; a failed call returns -1 or false.
#pragma once

#include <cstddef>
#include <cstdint>

namespace testsupport::sys {

enum class Kind { stream, datagram };
enum class Option { receive_buffer, reuse_address, linger_seconds };

int open_socket(Kind kind, bool nonblocking = false); // never inherited by child processes
void close_socket(int fd);
void set_option(int fd, Option option, int value);
bool bind_loopback(int fd, std::uint16_t port);
bool connect_loopback(int fd, std::uint16_t port);
bool listen_on(int fd, int backlog);
int accept_one(int listenFd);
std::uint16_t bound_port(int fd);
bool send_datagram(int fd, std::uint16_t port, const void* data, std::size_t length);
// Stream bytes; on POSIX any descriptor (a pseudo-terminal too), never raising SIGPIPE.
long receive(int fd, void* data, std::size_t length);
long send_some(int fd, const void* data, std::size_t length);
bool transient_failure(); // the last call was interrupted, or had nothing to read yet
bool poll_readable(int fd, int timeoutMs); // readable (or closed) in time; interruptions retried
// The ports the helpers pick from: below those the system hands out on its own.
std::uint16_t lowest_free_port();
std::uint16_t highest_free_port();

} // namespace testsupport::sys
