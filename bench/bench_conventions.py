from harness import Case

SETUP = """
import datetime, QuantLib as ql, quillander as q
d = q.Date(2024, 1, 15)
e = q.Date(2024, 3, 1)
qd = ql.Date(15, 1, 2024)
pd = datetime.date(2024, 1, 15)
Monday = q.Weekday.Monday
week = q.Calendar("QD_WEEK")
act365 = q.DayCounter.Act365
qcal = ql.WeekendsOnly()
qdc = ql.Actual365Fixed()
qe = ql.Date(1, 3, 2024)
u, M = q.Tenor("3M").unit, q.TenorUnit.M
import enum
class Unit(enum.Enum):
    D = 0
    M = 3
pu, PM = Unit(3), Unit.M
"""

CASES = [
    Case("Date.add_tenor('3M')", 'd.add_tenor("3M")', "QuantLib d + ql.Period('3M')", 'qd + ql.Period("3M")', SETUP, 0.33),
    Case("Date.weekday() == Weekday.Monday", "d.weekday() == Monday", "date.weekday() == 0", "pd.weekday() == 0", SETUP, 1.5),
    Case("Calendar.is_business_day", "week.is_business_day(d)", "QuantLib WeekendsOnly().isBusinessDay", "qcal.isBusinessDay(qd)", SETUP),
    Case("DayCounter.get_dcf", "act365.get_dcf(d, e)", "QuantLib Actual365Fixed().yearFraction", "qdc.yearFraction(qd, qe)", SETUP),
    Case("enumeration == enumeration", "u == M", "enum.Enum member == member", "pu == PM", SETUP),
    Case("enumeration == int", "u == 3", "enum.Enum member .value == int", "pu.value == 3", SETUP),
]
