// codec.h: SOAP encoding of values of described types (soap/service.h): reading them out of a
// request (following href references, applying the SOAP-ENC array rules) and writing them into a
// response. Every value is checked against its description: a record's elements are written in
// the described order with the described types, and only described elements are read, so code
// that strays from the description fails its first test.
// SPDX-License-Identifier: MIT
//
// C++ types and the kinds they travel as: std::string (string, or base64Binary when so
// described), bool (boolean), integers (int; an unsigned 32-bit value such as a stamp travels as
// the signed int of the same bits, 64-bit values are clamped), enumerations (their names),
// std::vector (SOAP-encoded arrays, items named "item"), and records, whose elements a pair of
// functions found by argument-dependent lookup reads and writes:
//     void read_fields(element_reader& r, Record& v);       // r.field("Name", v.name); ...
//     void write_fields(element_writer& w, const Record& v); // w.field("Name", v.name); ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "soap/envelope.h"
#include "soap/fault.h"
#include "soap/service.h"
#include "soap/value.h"
#include "util/log.h"

namespace marloven::soap {

struct decode_limits {
    // Elements read (an element read again through another href counts again, and so does
    // every slot of an array).
    std::size_t max_visits = 400000;
    // Bytes of strings made (again counting every href that reaches a text).
    std::size_t max_text = 64u << 20;
    // The declared size of one array.
    std::size_t max_array = 100000;
};

namespace detail {

template <typename T>
struct is_vector : std::false_type {};
template <typename T>
struct is_vector<std::vector<T>> : std::true_type {};

// The kind a C++ type travels as; fatal when the description says otherwise. A `value` travels
// as any kind.
template <typename T>
void check_kind(const type& t) {
    bool ok = false;
    if constexpr (std::is_same_v<T, value>) {
        ok = true;
    } else if constexpr (std::is_same_v<T, std::string>) {
        ok = t.kind == kind::string || t.kind == kind::base64;
    } else if constexpr (std::is_same_v<T, bool>) {
        ok = t.kind == kind::boolean;
    } else if constexpr (std::is_enum_v<T>) {
        ok = t.kind == kind::enumeration;
    } else if constexpr (std::is_integral_v<T>) {
        ok = t.kind == kind::integer;
    } else if constexpr (is_vector<T>::value) {
        ok = t.kind == kind::array;
    } else {
        ok = t.kind == kind::structure;
    }
    VANT_CHECK(ok, "C++ value does not match SOAP type " + t.name);
}

}  // namespace detail

class element_reader;

// Purpose: reads the values of one request, following href references to the elements they
// name and applying the SOAP-ENC array rules; counts what it makes against its limits, so that
// a message whose references multiply its size is refused.
// Ownership: borrows the envelope.
// Failure: throws a Client fault with the toolkit's text for a value that cannot be read.
// Threads: one thread.
class decoder {
  public:
    explicit decoder(const envelope& e, decode_limits limits = {})
        : envelope_(e), limits_(limits) {}

    // The element that `n` stands for: itself, or the element its href names.
    const node& deref(const node& n);

    // The elements at the positions of an array, in order (null where no element was given).
    std::vector<const node*> array_items(const node& array);

    template <typename T>
    void read(const node& n, const type& t, T& out);

    // What was made so far.
    std::size_t visits() const { return visits_; }
    std::size_t text_bytes() const { return text_; }

  private:
    void read_value(const node& n, const type& t, value& out);
    std::string text(const node& n, const type& t);
    std::int64_t integer(const node& n, std::int64_t low, std::int64_t high);
    bool boolean(const node& n);
    void count_visits(std::size_t n);

    const envelope& envelope_;
    decode_limits limits_;
    std::size_t visits_ = 0;
    std::size_t text_ = 0;
};

// Purpose: reads the elements of one record, or the parameters of one call, by name.
// Ownership: borrows the decoder, the element and the description.
// Failure: a parameter that is missing, or a value that cannot be read, is a Client fault; a
// name that the description does not hold is a broken invariant.
// Threads: one thread.
class element_reader {
  public:
    element_reader(decoder& d, const node& n, const std::vector<element>& described)
        : decoder_(d), node_(d.deref(n)), described_(described) {}

    // A record element: left unchanged when absent.
    template <typename T>
    void field(std::string_view name, T& out) {
        const element& e = described(name);
        if (const node* n = find(e)) {
            decoder_.read(*n, *e.of, out);
        }
    }
    // A call parameter: the call fails when it is absent (under its name and its alias), except
    // an array, which reads as empty: clients such as Python's suds leave an empty list out of
    // the message instead of sending an array of no items.
    template <typename T>
    void param(std::string_view name, T& out) {
        const element& e = described(name);
        const node* n = find(e);
        if (n == nullptr) {
            if constexpr (detail::is_vector<T>::value) {
                detail::check_kind<T>(*e.of);
                out.clear();
                return;
            }
            throw fault(fault_code::Client, "Missing parameter '" + e.name + "'");
        }
        decoder_.read(*n, *e.of, out);
    }
    // Every described element that is present, as the elements of the record `out`.
    void all(value& out) {
        for (const element& e : described_) {
            if (const node* n = find(e)) {
                decoder_.read(*n, *e.of, out.at(e.name));
            }
        }
    }
    // Whether the element (or its alias) is present.
    bool has(std::string_view name) { return find(described(name)) != nullptr; }

  private:
    const element& described(std::string_view name) const;
    const node* find(const element& e) const;

    decoder& decoder_;
    const node& node_;
    const std::vector<element>& described_;
};

// Purpose: writes SOAP-encoded elements into a response body.
// Ownership: borrows the output text.
// Failure: a value that does not match its description is a broken invariant; texts that XML
// cannot carry are written with U+FFFD in place of the bytes it cannot hold.
// Threads: one thread.
class encoder {
  public:
    // `prefix` is the prefix the response declares for the service namespace.
    encoder(std::string& out, std::string_view prefix) : out_(out), prefix_(prefix) {}

    template <typename T>
    void value(std::string_view name, const type& t, const T& v);

  private:
    // A `soap::value`: a record's elements are written in the described order, and only those
    // it has.
    void any_value(std::string_view name, const type& t, const soap::value& v);
    void scalar(std::string_view name, const type& t, std::string_view text);
    void open(std::string_view name, const type& t);
    void open_array(std::string_view name, const type& t, std::size_t size);
    void close(std::string_view name);
    std::string qualified(const type& t) const;

    std::string& out_;
    std::string prefix_;
};

// Purpose: writes the elements of one record, or the results of one call, in the described
// order; an optional element may be left out.
// Ownership: borrows the encoder and the description.
// Failure: an element out of order, not described, or a required one left out (finish) is a
// broken invariant.
// Threads: one thread.
class element_writer {
  public:
    element_writer(encoder& e, const std::vector<element>& described, std::string_view what)
        : encoder_(e), described_(described), what_(what) {}

    template <typename T>
    void field(std::string_view name, const T& v) {
        encoder_.value(name, *next(name).of, v);
    }
    // Checks that every element not written is optional.
    void finish();

  private:
    const element& next(std::string_view name);

    encoder& encoder_;
    const std::vector<element>& described_;
    std::string_view what_;
    std::size_t next_ = 0;
};

template <typename T>
void decoder::read(const node& n, const type& t, T& out) {
    detail::check_kind<T>(t);
    const node& v = deref(n);
    if constexpr (std::is_same_v<T, value>) {
        read_value(v, t, out);
    } else if constexpr (std::is_same_v<T, std::string>) {
        out = text(v, t);
    } else if constexpr (std::is_same_v<T, bool>) {
        out = boolean(v);
    } else if constexpr (std::is_enum_v<T>) {
        std::string name = text(v, t);
        if (auto value = t.value_of(name)) {
            out = static_cast<T>(*value);
        }
    } else if constexpr (std::is_integral_v<T>) {
        constexpr std::int64_t int_low = std::numeric_limits<std::int32_t>::min();
        constexpr std::int64_t int_high = std::numeric_limits<std::int32_t>::max();
        if constexpr (std::is_same_v<T, std::uint32_t>) {
            // Sent back as it was written: the signed int of the same bits.
            out = static_cast<std::uint32_t>(
                integer(v, int_low, std::numeric_limits<std::uint32_t>::max()));
        } else {
            out = static_cast<T>(integer(v, int_low, int_high));
        }
    } else if constexpr (detail::is_vector<T>::value) {
        std::vector<const node*> items = array_items(v);
        out.clear();
        out.resize(items.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (items[i] != nullptr) {
                read(*items[i], *t.item, out[i]);
            }
        }
    } else {
        element_reader r(*this, v, t.elements);
        read_fields(r, out);
    }
}

template <typename T>
void encoder::value(std::string_view name, const type& t, const T& v) {
    detail::check_kind<T>(t);
    if constexpr (std::is_same_v<T, soap::value>) {
        any_value(name, t, v);
    } else if constexpr (std::is_same_v<T, std::string>) {
        scalar(name, t, v);
    } else if constexpr (std::is_same_v<T, bool>) {
        scalar(name, t, v ? "true" : "false");
    } else if constexpr (std::is_enum_v<T>) {
        const std::string* written = t.name_of(static_cast<int>(v));
        scalar(name, t, written != nullptr ? *written : std::string());
    } else if constexpr (std::is_integral_v<T>) {
        std::int32_t number = 0;
        if constexpr (std::is_same_v<T, std::uint32_t>) {
            number = static_cast<std::int32_t>(v);
        } else if constexpr (sizeof(T) > sizeof(std::int32_t) || std::is_unsigned_v<T>) {
            constexpr auto low = std::numeric_limits<std::int32_t>::min();
            constexpr auto high = std::numeric_limits<std::int32_t>::max();
            if constexpr (std::is_signed_v<T>) {
                number = v < low ? low : v > high ? high : static_cast<std::int32_t>(v);
            } else {
                number = v > static_cast<std::make_unsigned_t<std::int32_t>>(high)
                             ? high
                             : static_cast<std::int32_t>(v);
            }
        } else {
            number = v;
        }
        scalar(name, t, std::to_string(number));
    } else if constexpr (detail::is_vector<T>::value) {
        open_array(name, t, v.size());
        for (const auto& item : v) {
            value("item", *t.item, item);
        }
        close(name);
    } else {
        open(name, t);
        element_writer w(*this, t.elements, t.name);
        write_fields(w, v);
        w.finish();
        close(name);
    }
}

}  // namespace marloven::soap
