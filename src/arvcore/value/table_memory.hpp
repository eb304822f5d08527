#pragma once
// Where the memory of a table comes from when a manager builds one in place of another: the
// one door through which table code reaches the value pool (detail/value_allocator.hpp).

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "arvcore/value/value.hpp"

namespace arvcore::value {

/// True for a table file big enough (4 MiB or more) that preparing the memory of its table
/// beside the build pays; false for a path that names no such file.
bool large_table_file(const std::string& path) noexcept;

/// Empties a whole table leaves first, asking for the storage of each map's or list's children
/// before freeing them. A table's storage lies all over memory, and freed in place in the
/// usual order each map waits for its children's storage in turn; asked for together, those
/// waits overlap. Nesting deeper than a table has is left to the value's own teardown.
void release_table(Value& table) noexcept;

/// Gives the memory of the tables freed so far back to the system now, rather than once
/// enough has been freed since the pool last looked: for an owner of tables whose values are
/// few and may lie among the memory of larger ones, which they would keep from the system.
void release_freed_tables() noexcept;

/// Runs release_freed_tables() when its owner goes, after the owner's other members.
struct ReleaseWhenDropped {
  ReleaseWhenDropped() = default;
  ReleaseWhenDropped(const ReleaseWhenDropped&) = default;
  ReleaseWhenDropped(ReleaseWhenDropped&&) = default;
  ReleaseWhenDropped& operator=(const ReleaseWhenDropped&) = default;
  ReleaseWhenDropped& operator=(ReleaseWhenDropped&&) = default;
  ~ReleaseWhenDropped() { release_freed_tables(); }
};

/// The build of a table that replaces another, from its start to the end of the object's
/// life; to be made and ended on the thread that builds. For a large table a helper thread
/// prepares the pool's next memory beside the build, and the memory of the table it replaces
/// serves the new one, which is cut from it afresh in the order it is built, rather than
/// going back to the system and being taken again; what the build does not take goes back
/// when it ends. For any other table the old one is freed as any value is.
class TableBuild {
 public:
  explicit TableBuild(bool large) {
    if (large) {
      ahead_.emplace();
    }
  }

  /// Frees the table being replaced by running `release_old`, which drops the last reference
  /// to it (must not throw).
  template <class Release>
  void replace(Release&& release_old) noexcept {
    if (ahead_) {
      ahead_->reuse_freed(std::forward<Release>(release_old));
    } else {
      std::forward<Release>(release_old)();
    }
  }

  /// Frees the table `old` holds (see release_table()), leaving it null.
  void replace(Value& old) noexcept {
    if (old.is_null()) {
      return;
    }
    replace([&old]() noexcept {
      release_table(old);
      old = nullptr;
    });
  }

 private:
  std::optional<value_pool::RegionsAhead> ahead_;
};

}  // namespace arvcore::value
