// SPDX-License-Identifier: MIT
// The allocator behind list_append_new, replaceable so that tests can make
// an allocation fail. Not for product code: the product always uses calloc.
#pragma once

#include <cstddef>

namespace netlist_internal {

using entry_alloc_fn = void *(*)(std::size_t count, std::size_t size);

// Installs fn (cleared memory for count objects of size bytes, as calloc
// gives, or null) and returns the function it replaces.
entry_alloc_fn set_entry_alloc(entry_alloc_fn fn);

// Installs fn for the guard's lifetime.
class scoped_entry_alloc {
 public:
  explicit scoped_entry_alloc(entry_alloc_fn fn) : saved_(set_entry_alloc(fn)) {}
  ~scoped_entry_alloc() { set_entry_alloc(saved_); }
  scoped_entry_alloc(const scoped_entry_alloc &) = delete;
  scoped_entry_alloc &operator=(const scoped_entry_alloc &) = delete;

 private:
  entry_alloc_fn saved_;
};

}  // namespace netlist_internal
