// Array form of Date.add_tenor: each date plus a tenor (a text, a Tenor, or
// an array of them broadcast against the dates).
#include <algorithm>
#include <string>
#include <vector>

#include "datetime/dates_np.hpp"
#include "datetime/tenor.hpp"
#include "numpy/wrapper.hpp"

namespace quill::np {
namespace {

// The day of `days` plus `t`, or nat when the library's own call must decide
// (a business-day tenor, a result outside the range).
inline std::int64_t shifted(std::int64_t days, Tenor t) noexcept {
    std::int64_t r;
    switch (t.unit) {
        case TenorUnit::D:
            r = days + t.count;
            break;
        case TenorUnit::W:
            r = days + 7 * static_cast<std::int64_t>(t.count);
            break;
        case TenorUnit::M:
        case TenorUnit::Y: {
            const civil::Fields c = from_days(days);
            std::int64_t year = c.year;
            std::int64_t month = c.month;
            if (t.unit == TenorUnit::M) {
                // Months counted from year 0 stay positive for every count, so
                // the floor division is a plain one.
                const std::int64_t k = (month - 1) + t.count;
                if (k < -32768 || k > 32767) return nat;
                const std::int64_t total = year * 12 + k;
                if (total < 0) return nat;
                year = total / 12;
                month = total - year * 12 + 1;
            } else {
                year += t.count;
            }
            if (year < 1899 || year > 65535) return nat;
            const auto m = static_cast<unsigned>(month);
            r = to_days(year, m, std::min(c.day, month_length(year, m)));
            break;
        }
        default:
            return nat;
    }
    return r < min_days || r > max_days ? nat : r;
}

Date add_tenor_of(Date d, Tenor t) { return add_tenor(d, t); }

}  // namespace

// Calendar steps computed here; business days and results the range does not
// hold (nat from shifted) are the library's. With one tenor for dates that
// repeat days, each day of their span is shifted once and looked up.
template <>
struct Block<&add_tenor_of> {
    static constexpr bool exists = true;
    struct State {
        std::vector<std::int64_t> table;
        std::int64_t first = 0;
    };
    using V = View<&add_tenor_of>;
    static State prepare(const V& v, std::int64_t n) {
        State s;
        const Column<Tenor> tenors = v.in<1>();
        std::int64_t first, last;
        if (!tenors.broadcast() || !day_span(v.in<0>(), n, first, last)) return s;
        if (first < min_days || last > max_days || last - first + 1 > n / 2) return s;
        const Tenor tenor = tenors[0];
        s.first = first;
        s.table.resize(static_cast<std::size_t>(last - first + 1));
        parallel_for(static_cast<std::int64_t>(s.table.size()), 16384, [&](std::int64_t begin, std::int64_t end) {
            for (std::int64_t k = begin; k < end; ++k) s.table[static_cast<std::size_t>(k)] = shifted(first + k, tenor);
        });
        return s;
    }
    static std::int64_t run(const State& s, const V& v, std::int64_t begin, std::int64_t end) {
        const Column<std::int64_t> days = v.in<0>();
        const Column<Tenor> tenors = v.in<1>();
        const OutColumn<std::int64_t> out = v.out<0, std::int64_t>();
        if (!s.table.empty()) {
            const std::int64_t* shift = s.table.data() - s.first;
            for (std::int64_t i = begin; i < end; ++i) {
                const std::int64_t day = days[i];
                const std::int64_t r = day == nat ? nat : shift[day];
                if (r == nat && day != nat) return i;
                out.set(i, r);
            }
            return end;
        }
        if (tenors.broadcast()) {  // one tenor for all: a loop the compiler can keep tight
            const Tenor tenor = tenors[0];
            for (std::int64_t i = begin; i < end; ++i) {
                const std::int64_t day = days[i];
                if (day == nat) {
                    out.set(i, nat);
                    continue;
                }
                const std::int64_t r = valid_day(day) ? shifted(day, tenor) : nat;
                if (r == nat) return i;
                out.set(i, r);
            }
            return end;
        }
        for (std::int64_t i = begin; i < end; ++i) {
            const std::int64_t day = days[i];
            if (day == nat) {
                out.set(i, nat);
                continue;
            }
            const std::int64_t r = valid_day(day) ? shifted(day, tenors[i]) : nat;
            if (r == nat) return i;
            out.set(i, r);
        }
        return end;
    }
};

bool add_tenor_twins(PyObject* m) {
    return add_twin<"add_tenor(dates, t)\n--\n\n"
                    "Date.add_tenor of each date as datetime64[D]: t is a tenor text such as \"3M\", a\n"
                    "Tenor, or an array of them broadcast against the dates. NaT stays NaT.",
                    &add_tenor_of, TwinOptions{.grain = 16384}>(m);
}

}  // namespace quill::np
