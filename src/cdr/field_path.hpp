// Field paths as a chain of stack nodes, rendered only when an error is
// reported ("pose.position.x").  In the core's layout array elements share
// the array's node; the ROS 2 layout gives each element a node of its own
// ("points[3].z").
#pragma once

#include <cstdint>
#include <string_view>
#include <type_traits>

#include "base/layout.hpp"
#include "base/memory.hpp"

namespace korvex {

// An array element's index, in the layout that names elements; in the
// other, nothing at all, so that its nodes are as small and as cheap to
// make as before.
struct ElementIndex {
  static constexpr std::uint64_t kNone = UINT64_MAX;
  constexpr ElementIndex() noexcept = default;
  constexpr ElementIndex(std::uint64_t index) noexcept : value(index) {}  // NOLINT: implicit
  std::uint64_t value = kNone;
  bool present() const noexcept { return value != kNone; }
};
struct NoElementIndex {
  static constexpr std::uint64_t value = 0;
  constexpr NoElementIndex() noexcept = default;
  constexpr NoElementIndex(std::uint64_t) noexcept {}  // NOLINT: implicit, and ignored
  static bool present() noexcept { return false; }
};
using PathIndex = std::conditional_t<kLayout.shaped_types, ElementIndex, NoElementIndex>;

struct PathNode {
  const PathNode* parent;
  std::string_view name;
  // Set for the node of an array element, which has no name.
  [[no_unique_address]] PathIndex index{};

  bool is_element() const noexcept { return index.present(); }
};

inline String render_path(const PathNode* node) {
  // The nodes from the innermost out, then joined from the outermost in.
  Vector<const PathNode*> chain;
  std::size_t length = 0;
  for (const PathNode* at = node; at != nullptr; at = at->parent) {
    chain.push_back(at);
    length += at->is_element() ? 22 : at->name.size() + 1;
  }
  String text;
  text.reserve(length);
  bool first = true;
  for (std::size_t depth = chain.size(); depth > 0; --depth) {
    const PathNode* at = chain[depth - 1];
    if constexpr (kLayout.shaped_types) {
      if (at->is_element()) {
        text += '[';
        text += decimal(at->index.value);
        text += ']';
        first = false;
        continue;
      }
    }
    if (!first) text += '.';
    text += at->name;
    first = false;
  }
  return text;
}

}  // namespace korvex
