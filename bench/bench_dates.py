from harness import Case

SETUP = """
import datetime, quillander as q
d = q.Date(2024, 1, 15)
e = q.Date(2024, 3, 1)
pd = datetime.date(2024, 1, 15)
pe = datetime.date(2024, 3, 1)
one = datetime.timedelta(days=1)
"""

CASES = [
    Case("Date from text", 'q.Date("2024-01-15")', "datetime.date.fromisoformat", 'datetime.date.fromisoformat("2024-01-15")', SETUP, 1.0),
    Case("Date from fields", "q.Date(2024, 1, 15)", "datetime.date(y, m, d)", "datetime.date(2024, 1, 15)", SETUP, 1.0),
    Case("Date + n", "d + 1", "date + timedelta(days=1)", "pd + one", SETUP, 1.0),
    Case("Date - Date", "e - d", "(date - date).days", "(pe - pd).days", SETUP),
]
