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


def iso(days=0, hhmm="1200"):
    """The same moment as the hosts give it: ISO 8601 local time with the
    zone's offset then, 2026-12-09T14:00:00+08:00."""
    return moment(days, hhmm).astimezone().isoformat()


def day(days=0):
    """The day alone, as ISO 8601 writes it: 2026-12-09."""
    return moment(days).date().isoformat()


def fias_day(days=0):
    """A FIAS date (GA, GD, DA): YYMMDD, `days` from today."""
    return moment(days).strftime("%y%m%d")
