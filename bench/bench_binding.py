from harness import Case

SETUP = """
import math, quillander as q
def ours():
    try:
        q.exp("x")
    except TypeError:
        pass
def theirs():
    try:
        math.exp("x")
    except TypeError:
        pass
def ours_missing():
    try:
        q.exp()
    except TypeError:
        pass
def theirs_missing():
    try:
        math.exp()
    except TypeError:
        pass
"""

CASES = [
    Case("wrong-type argument error (exp('x'))", "ours()", "math.exp('x')", "theirs()", SETUP),
    Case("missing argument error (exp())", "ours_missing()", "math.exp()", "theirs_missing()", SETUP),
    Case("keyword call exp(x=0.3)", "q.exp(x=0.3)", "math.exp(0.3)", "math.exp(0.3)", SETUP),
]
