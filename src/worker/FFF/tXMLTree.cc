// tXMLTree.cc: tree walks, the kind registry, and the reader and writer of the binary form.
// SPDX-License-Identifier: MIT
#include "worker/FFF/tXMLTree.h"

#include <cstdint>
#include <mutex>

#include "util/log.h"
#include "util/math-coding.h"

namespace marloven {

namespace {

template <typename T>
void append_coded(std::string& out, T value) {
    // Counts, lengths and kind numbers are nearly all below 128: one byte, no buffer.
    if (value < 0x80) {
        out.push_back(static_cast<char>(value | 0x80));
        return;
    }
    constexpr std::size_t l = sizeof(T);
    char buf[max_coded_bytes<T>];
    const std::size_t n = encode_number(value, buf, sizeof buf);
    // n == 0 (no room) wraps round and fails the check as well.
    const std::size_t lastnot0 = n - 1;
    VANT_CHECK_AS("hdr\\worker/tXMLTree", lastnot0 < l + 2, "lastnot0 < l + 2");
    out.append(buf, n);
}

template <typename Tree, typename Visitor>
void walk_parent(Tree& tree, Visitor& v, unsigned depth) {
    v.visit(tree, depth, false);
    for (auto& child : tree.children) {
        child->accept(v, depth + 1);
    }
    v.visit(tree, depth, true);
}

}  // namespace

void tXMLTree::accept(const_visitor& v, unsigned depth) const {
    v.visit(*this, depth, false);
    v.visit(*this, depth, true);
}

void tXMLTree::accept(visitor& v, unsigned depth) {
    v.visit(*this, depth, false);
    v.visit(*this, depth, true);
}

tXMLParentTree::~tXMLParentTree() {
    for (auto& child : children) {
        child.reset();
    }
}

void tXMLParentTree::write_children(std::string& out) const {
    append_number(out, static_cast<std::uint32_t>(children.size()));
    for (const auto& child : children) {
        append_number(out, child->kind());
        child->write(out);
    }
}

bool tXMLParentTree::read_children(tree_reader& in, read_state& state) {
    state = read_state::Empty;
    std::uint32_t count = 0;
    if (!in.number(count)) {
        return true;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        read_state child_state = read_state::Empty;
        auto child = in.node(child_state);
        if (!child) {
            state = read_state::Incomplete;
            return false;
        }
        children.push_back(std::move(child));
        if (child_state == read_state::Empty) {
            state = read_state::Incomplete;
            return true;
        }
    }
    state = read_state::Complete;
    return true;
}

void tXMLParentTree::accept(const_visitor& v, unsigned depth) const {
    walk_parent(*this, v, depth);
}

void tXMLParentTree::accept(visitor& v, unsigned depth) {
    walk_parent(*this, v, depth);
}

void kind_table::register_kind(std::uint32_t kindID, factory create) {
    std::unique_lock lock(mutex_);
    auto& map = map_;
    VANT_CHECK(map.find(kindID) == map.end() || map[kindID] == create,
               "kindTable.map.find(kindID) == kindTable.map.end() || kindTable.map[kindID] == "
               "create");
    map[kindID] = create;
}

kind_table::factory kind_table::lookup(std::uint32_t kindID) const {
    std::shared_lock lock(mutex_);
    auto it = map_.find(kindID);
    return it == map_.end() ? nullptr : it->second;
}

template <typename T>
bool tree_reader::decode(T& value) {
    const std::size_t next = decode_number(blob_.data(), blob_.size(), pos_, value);
    if (next == 0) {
        drop_rest();
        return false;
    }
    pos_ = next;
    return true;
}

bool tree_reader::number(std::uint32_t& value) {
    return decode(value);
}

bool tree_reader::number16(std::uint16_t& value) {
    return decode(value);
}

bool tree_reader::bytes(std::string_view& value) {
    std::uint32_t length = 0;
    if (!number(length)) {
        return false;
    }
    if (length > remaining()) {
        drop_rest();
        return false;
    }
    value = blob_.substr(pos_, length);
    pos_ += length;
    return true;
}

std::size_t tree_reader::peek_bytes_total(std::uint32_t count) const {
    std::size_t total = 0;
    std::size_t pos = pos_;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t length = 0;
        const std::size_t next = decode_number(blob_.data(), blob_.size(), pos, length);
        if (next == 0 || length > blob_.size() - next) {
            break;
        }
        total += length;
        pos = next + length;
    }
    return total;
}

std::unique_ptr<tXMLTree> tree_reader::node(read_state& state) {
    state = read_state::Empty;
    std::uint32_t kindID = 0;
    if (!number(kindID)) {
        return nullptr;
    }
    const kind_table::factory create = kinds_.lookup(kindID);
    if (create == nullptr || depth_ >= max_depth_) {
        return nullptr;
    }
    std::unique_ptr<tXMLTree> tree = create();
    if (!tree) {
        return nullptr;
    }
    ++depth_;
    const bool ok = tree->read(*this, state);
    --depth_;
    if (!ok) {
        return nullptr;
    }
    return tree;
}

void append_number(std::string& out, std::uint32_t value) {
    append_coded(out, value);
}

void append_number16(std::string& out, std::uint16_t value) {
    append_coded(out, value);
}

void append_bytes(std::string& out, std::string_view bytes) {
    VANT_CHECK(bytes.size() <= UINT32_MAX, "Byte string too long for the binary form");
    append_number(out, static_cast<std::uint32_t>(bytes.size()));
    out.append(bytes);
}

}  // namespace marloven
