// Taking one token from the job-server pipe without ever waiting for one.
#pragma once

namespace ombu {

// Reads one byte from the pipe whose shared read end is fd; true when a byte
// was read. An empty pipe gives false at once. The shared descriptor's open
// file description stays as it is (other processes of the job server use it
// in blocking mode): the read goes through a private non-blocking one, or,
// for a socket, is a single read that does not wait.
bool take_token(int fd);

// The fallback when no private description can be had: a blocking read of fd
// that a repeating timer interrupts within milliseconds.
bool take_token_with_timer(int fd);

// In a process just forked that has closed the private description: the next
// take_token opens one of its own.
void forget_private_reader();

}  // namespace ombu
