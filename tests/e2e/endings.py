"""How a run may end, as callers are promised it (README.md, "What each ending means"): one row
per ending, keyed by its name, written by hand and never read from the program, so that a
wrong row in the program's own table shows up as a failing test.

A text may hold fields that the run fills in: {path} (the input path as given), {argument}
(the refused argument) and {address} (the report's 16 hexadecimal digits); a new field is
any other {name}, which the README writes as NAME. An ending whose quiet line depends on its
cause (one ending, several situations) gives `line` as a dict, a template per cause; the
tests then name the cause (cause='...') wherever they expect that line. Every end-to-end
test and the fault sweep take their expectations from here; tests/endings/check-endings.py
(the CTest entry `endings`) fails when a row or a cause is named by no end-to-end test or
when the README's table of endings says otherwise. A new ending is one row here."""
import dataclasses
import re

CAPTION = 'Brenhold caller.'
REPORT_CAPTION = 'Error'
SOURCE = 'Brenhold caller'  # the event source
EVENT_TYPES = {'error': 1, 'warning': 2}  # EVENTLOG_ERROR_TYPE, EVENTLOG_WARNING_TYPE
KEPT_LINE = 'Input file "{path}" was printed, but kept.'
REMOVED_LINE = 'Input file "{path}" was printed and removed, but the run then failed.'
REPORT_TEXT = 'Runtime error 217 at {address}'
FIELD = re.compile(r'\{(\w+)\}')
ADDRESS = '(?P<address>[0-9A-F]{16})'


@dataclasses.dataclass(frozen=True)
class Ending:
    box: str | None             # the program's box outside quiet mode; None: no box
    visible: int                # exit status outside quiet mode
    quiet: int                  # exit status in quiet mode
    event: str | None           # 'error' or 'warning': the event quiet mode reports; None: no event
    event_id: int | None
    line: str | dict | None = 'box'  # quiet mode's line and event text; 'box': the box's text;
                                     # a dict: {cause: line} for a line that depends on the cause
    caption: str = CAPTION

    def quiet_texts(self):
        """{cause: quiet mode's line}, with the one cause None for a line that has no cause."""
        lines = self.line if isinstance(self.line, dict) else {None: self.line}
        return {cause: self.box if line == 'box' else line for cause, line in lines.items()}

    def quiet_text_of(self, cause=None):
        lines = self.quiet_texts()
        if cause not in lines:
            raise KeyError(f'no quiet line for the cause {cause!r}: tests/e2e/endings.py gives this ending the '
                           f'causes {list(lines)}; name one as cause=')
        return lines[cause]

    @property
    def quiet_text(self):
        """quiet mode's line, for an ending whose line has no cause."""
        return self.quiet_text_of()


ENDINGS = {
    'Printed': Ending(box=None, visible=0, quiet=0, event=None, event_id=None, line=None),
    'PrintedButKept': Ending(box=None, visible=0, quiet=80, event='warning', event_id=80, line=KEPT_LINE),
    'InvalidKeyword': Ending(box='Invalid keyword {argument}', visible=0, quiet=87, event='error', event_id=87),
    'NoInputFile': Ending(box='No input file was specified..', visible=0, quiet=160, event='error', event_id=160),
    'FileNotFound': Ending(box='Input file "{path}" does not exist.', visible=0, quiet=2, event='error',
                           event_id=2),
    'LibraryMissing': Ending(box="Can't find Tamsel.dll.", visible=0, quiet=126, event='error', event_id=126),
    'EntryPointMissing': Ending(box="Entry point printFile() can't be located in the DLL.", visible=0, quiet=127,
                                event='error', event_id=127),
    'RuntimeError': Ending(box=REPORT_TEXT, caption=REPORT_CAPTION, visible=217, quiet=217, event='error',
                           event_id=217),
    # An error of the program's own after the library printed: a person sees the report, a
    # quiet caller learns that the file was printed and kept.
    'ErrorAfterPrint': Ending(box=REPORT_TEXT, caption=REPORT_CAPTION, visible=217, quiet=80, event='warning',
                              event_id=80, line=KEPT_LINE),
    # An error after the printed file was removed (a crash on a thread of the library's, a
    # fault during the shutdown): a person sees the report, and the status of both modes says
    # that the file is gone, as quiet mode's line does.
    'ErrorAfterRemoval': Ending(box=REPORT_TEXT, caption=REPORT_CAPTION, visible=1067, quiet=1067, event='error',
                                event_id=1067, line=REMOVED_LINE),
    'SessionEnded': Ending(box=None, visible=0, quiet=1223, event='error', event_id=1223,
                           line='The session ended before the run was over.'),
    'AskedToClose': Ending(box=None, visible=0, quiet=1223, event='error', event_id=1223,
                           line='Windows asked the program to close before the run was over.'),
}


def unfilled(template, **fields):
    """The fields the template needs that are not given (the address is always left open)."""
    return sorted(set(FIELD.findall(template)) - {'address'} - set(fields))


def fill(template, **fields):
    """The text with its fields filled in; None when the template needs a field not given."""
    if unfilled(template, **fields):
        return None
    return FIELD.sub(lambda m: fields[m.group(1)] if m.group(1) != 'address' else '{address}', template)


def pattern(template, whole=True, **fields):
    """A regular expression for the whole text (or, not whole, for the text anywhere), the
    address left open; None as fill()."""
    text = fill(template, **fields)
    if text is None:
        return None
    found = re.escape(text).replace(re.escape('{address}'), ADDRESS)
    return re.compile('^' + found + '$' if whole else found)


def box_matches(name, caption, text, **fields):
    ending = ENDINGS[name]
    expected = pattern(ending.box, **fields) if ending.box else None
    return expected is not None and caption == ending.caption and expected.match(text) is not None


def endings_of_box(caption, text, **fields):
    """The names of the endings whose box this is, with the given fields."""
    return [name for name in ENDINGS if box_matches(name, caption, text, **fields)]


def quiet_statuses():
    return {ending.quiet for ending in ENDINGS.values()}


def visible_statuses():
    return {ending.visible for ending in ENDINGS.values()}


def event_ids():
    """Every ID an event may carry: the message table must hold each."""
    return sorted({ending.event_id for ending in ENDINGS.values() if ending.event_id is not None})


def box_text(name, **fields):
    """The text of the ending's box, its fields filled in."""
    return fill(ENDINGS[name].box, **fields)


def quiet_line(name, cause=None, **fields):
    """What quiet mode writes for the ending (for the cause, where its line has one): the line
    on standard error, ended by CR LF."""
    template = ENDINGS[name].quiet_text_of(cause)
    if unfilled(template, **fields):
        raise KeyError(f'{name}: give the fields {unfilled(template, **fields)} of its line {template!r}')
    return (fill(template, **fields) + '\r\n').encode('utf-8')
