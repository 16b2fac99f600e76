"""Stays for the tests, counted from today on the local clock, so that a
test never holds a date that passes: a card cut for a stay that ended is
a different case from a live one, and each test must say which it means."""
import datetime


def moment(days=0, hhmm="1200"):
    """The local time HH:MM `days` days from today, as a datetime."""
    day = datetime.date.today() + datetime.timedelta(days=days)
    return datetime.datetime.combine(day, datetime.time(int(hhmm[:2]), int(hhmm[2:])))


def stamp(days=0, hhmm="1200"):
    """The same moment as the component's twelve-figure YYYYMMDDHHMM."""
    return moment(days, hhmm).strftime("%Y%m%d%H%M")


def fias_day(days=0):
    """A FIAS date (GA, GD, DA): YYMMDD, `days` from today."""
    return moment(days).strftime("%y%m%d")
