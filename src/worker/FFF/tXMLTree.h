// tXMLTree.h: the generic typed tree under FFF documents: nodes, the two visitor walks, the
// process-wide registry of node kinds, and the reader and writer of the tree's binary form.
// The FFF node classes (worker/FFF/FFF.h) derive from tXMLTree and tXMLParentTree.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

namespace marloven {

class tree_reader;

// How much of one part of a blob a read got: nothing, a cut-short part, or all of it.
enum class read_state : int { Empty = 0, Incomplete = 1, Complete = 2 };

// One node of a typed tree.
// Ownership: a node owns its children (tXMLParentTree); nodes are neither copied nor moved, so
// that a node may keep pointers into its own members.
// Failure: `read` reports broken input through its result and state, never by stopping.
// Threads: one thread at a time per tree.
class tXMLTree {
  public:
    // A walk that may change nodes (the renderers and the index feeder use this one).
    class visitor {
      public:
        virtual ~visitor() = default;
        // Called when `node` is entered (`closing` false) and when it is left; the root has depth
        // 0.
        virtual void visit(tXMLTree& node, unsigned depth, bool closing) = 0;
    };
    // The same walk for a visitor that only reads.
    class const_visitor {
      public:
        virtual ~const_visitor() = default;
        virtual void visit(const tXMLTree& node, unsigned depth, bool closing) = 0;
    };

    tXMLTree() = default;
    tXMLTree(const tXMLTree&) = delete;
    tXMLTree& operator=(const tXMLTree&) = delete;

    // Appends the node's body (without its kind number) in the binary form.
    virtual void write(std::string& out) const = 0;
    // Fills the node's body from `in`. Returns false on a hard failure (the caller then destroys
    // the node); otherwise `state` tells how much was read.
    virtual bool read(tree_reader& in, read_state& state) = 0;
    virtual ~tXMLTree() = default;
    // The number that identifies the node's class in the binary form.
    virtual std::uint32_t kind() const = 0;
    virtual std::string_view name() const = 0;
    // visit(this, depth, false), the children at depth + 1 in order, visit(this, depth, true).
    virtual void accept(const_visitor& v, unsigned depth) const;
    virtual void accept(visitor& v, unsigned depth);
};

// A node with an ordered list of owned children; the order is the document order.
class tXMLParentTree : public tXMLTree {
  public:
    ~tXMLParentTree() override;  // destroys the children first to last

    // A plain parent node's body is its children.
    void write(std::string& out) const override { write_children(out); }
    bool read(tree_reader& in, read_state& state) override { return read_children(in, state); }
    void accept(const_visitor& v, unsigned depth) const override;
    void accept(visitor& v, unsigned depth) override;

    // Appends a new child of type T and returns it.
    template <typename T, typename... Args>
    T& add(Args&&... args) {
        auto child = std::make_unique<T>(std::forward<Args>(args)...);
        T& ref = *child;
        children.push_back(std::move(child));
        return ref;
    }

    std::vector<std::unique_ptr<tXMLTree>> children;

  protected:
    // Writes the children: their count, then each child's kind number and body.
    void write_children(std::string& out) const;
    // Reads the children written by write_children(): Empty when the count is missing,
    // Incomplete when a child came back Empty (reading stops there), Complete otherwise. A child
    // that cannot be made at all (cut before its kind number, unknown kind, too deep) is a hard
    // failure.
    bool read_children(tree_reader& in, read_state& state);
};

// Registry of node kinds: kind number to the factory that makes an empty node of that kind,
// together with the format version number of the binary form.
// Ownership: holds plain function pointers only.
// Failure: registering a second, different factory for a kind number is fatal.
// Threads: thread-safe.
class kind_table {
  public:
    using factory = std::unique_ptr<tXMLTree> (*)();

    explicit kind_table(std::uint32_t version) : version_(version) {}
    std::uint32_t version() const { return version_; }
    // Registering the same pair again is harmless.
    void register_kind(std::uint32_t kindID, factory create);
    // The factory of `kindID`, or nullptr when the kind is unknown.
    factory lookup(std::uint32_t kindID) const;

  private:
    const std::uint32_t version_;
    mutable std::shared_mutex mutex_;
    std::map<std::uint32_t, factory> map_;  // guarded by mutex_
};

// Reads the binary form of a tree from a byte string that it borrows.
// Any number or byte string that cannot be read (the blob ends first, the number is too long for
// its width, a length runs past the end) makes the reader drop the rest of the blob, so that
// every later read fails as well: a damaged blob reads like one cut at the damage.
// Nesting deeper than `max_depth` nodes is a hard failure (no node), so that a hostile blob
// cannot exhaust the stack of the recursive reader, destructor and visitors.
// Ownership: borrows the blob and the kind table; both must outlive the reader.
// Threads: one thread at a time.
class tree_reader {
  public:
    // Real documents nest five deep; this leaves ample room for producers that nest more.
    static constexpr unsigned default_max_depth = 256;

    tree_reader(std::string_view blob, const kind_table& kinds,
                unsigned max_depth = default_max_depth)
        : blob_(blob), kinds_(kinds), max_depth_(max_depth) {}

    bool number(std::uint32_t& value);
    bool number16(std::uint16_t& value);
    // A byte string: its length as a number, then the bytes. The view points into the blob.
    bool bytes(std::string_view& value);
    // Bytes not read yet. Every element of a counted list takes at least one byte, so a count
    // never justifies reserving more elements than this.
    std::size_t remaining() const { return blob_.size() - pos_; }
    // The total length of the next `count` byte strings, as far as they lie wholly in the blob;
    // the position does not move. Lets a reader size its buffer once.
    std::size_t peek_bytes_total(std::uint32_t count) const;

    // Reads one node: its kind number, then its body through the kind's factory and `read`.
    // Returns nullptr when there is no node (kind number missing or unknown, hard failure of
    // `read`, nesting too deep); `state` is then Empty or whatever the failed read reported.
    std::unique_ptr<tXMLTree> node(read_state& state);

  private:
    void drop_rest() { pos_ = blob_.size(); }
    template <typename T>
    bool decode(T& value);

    std::string_view blob_;
    std::size_t pos_ = 0;
    const kind_table& kinds_;
    const unsigned max_depth_;
    unsigned depth_ = 0;
};

// Appends `value` to `out` in the number coding of util/math-coding.h.
void append_number(std::string& out, std::uint32_t value);
void append_number16(std::string& out, std::uint16_t value);
// Appends a byte string: its length as a number, then the bytes.
void append_bytes(std::string& out, std::string_view bytes);

}  // namespace marloven
