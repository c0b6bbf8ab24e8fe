// SPDX-License-Identifier: MIT
// The program is built without exceptions, so nothing could ever catch what
// the C++ library's templates throw (string_view::substr past the end, say).
// Their error helpers end the process here, with the library's message,
// instead of pulling the library's whole exception runtime into the program.
// Linked into the program only; the tests keep the library's own helpers.
#include <bits/functexcept.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void die(const char *what) {
  fprintf(stderr, "lumra: %s\n", what != nullptr ? what : "internal error");
  abort();
}

}  // namespace

namespace std {

void __throw_bad_exception() { die("bad exception"); }
void __throw_bad_alloc() { die("out of memory"); }
void __throw_bad_array_new_length() { die("bad array length"); }
void __throw_bad_cast() { die("bad cast"); }
void __throw_bad_typeid() { die("bad typeid"); }
void __throw_logic_error(const char *what) { die(what); }
void __throw_domain_error(const char *what) { die(what); }
void __throw_invalid_argument(const char *what) { die(what); }
void __throw_length_error(const char *what) { die(what); }
void __throw_out_of_range(const char *what) { die(what); }
void __throw_runtime_error(const char *what) { die(what); }
void __throw_range_error(const char *what) { die(what); }
void __throw_overflow_error(const char *what) { die(what); }
void __throw_underflow_error(const char *what) { die(what); }
void __throw_bad_function_call() { die("bad function call"); }

void __throw_out_of_range_fmt(const char *format, ...) {
  va_list args;
  va_start(args, format);
  fputs("lumra: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
  abort();
}

}  // namespace std
