"""A short tour of quillander."""
import quillander as q

d = q.Date("2024-01-31")
print("date:", d, "serial", d.to_int(), d.weekday())
for t in ("1D", "1W", "1M", "-25M", "1Y"):
    print(f"  {d} + {t:>4} = {d.add_tenor(t)}")
cal = q.Calendar("QD_WEEK")
print(cal, "business day:", d.is_business_day(cal))
dc = q.DayCounter("Act365")
print(dc, "2024-01-01 to 2025-01-01:", dc.get_dcf(q.Date(2024, 1, 1), q.Date(2025, 1, 1)))
