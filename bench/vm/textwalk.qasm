; Walking a long text, as textwalk.lua: a text of 714,575 bytes (8,080
; lines of ASCII with two-, three- and four-byte UTF-8 characters) is
; walked line by line, each line found with FindStr from the character
; position behind the one before, cut out with MidStr and searched for a
; word; then the text is split at its line ends with SplitStr and every
; "fox" in it replaced with ReplaceStr. Positions count characters (the
; default UTF-8 encoding). Returns lines + lines with "fox" + parts + the
; byte length of the replaced text.
    LOADCONST 1, ""             ; block
    LOADNUM 2, 0                ; i
    LOADNUM 3, 16
    LOADNUM 4, 1
    JUMP tb
bb: MOVE 5, 1
    LOADCONST 6, "line "
    MOVE 7, 2
    LOADCONST 8, ": the quick brown fox jumps over the lazy dog; Gr\xC3\xBC\xC3\x9Fe aus K\xC3\xB6ln, 5 \xE2\x82\xAC f\xC3\xBCr \xF0\x9D\x84\x9E\n"
    CONCAT 1, 5, 8
tb: FORLOOP 2, bb
    GETGLOBAL 5, "repeatstr"
    MOVE 6, 1
    LOADCONST 7, #505
    CALL 5, 3, 2
    MOVE 0, 5                   ; text
    LOADNUM 1, 0                ; lines
    LOADNUM 2, 0                ; lines with "fox"
    LOADNUM 3, 0                ; pos
walk: GETGLOBAL 4, "findstr"    ; e = FindStr(text, "\n", True, pos)
    MOVE 5, 0
    LOADCONST 6, "\n"
    LOADNUM 7, 1
    MOVE 8, 3
    CALL 4, 5, 2
    EQ 1, 4, #-1
    JUMP split
    GETGLOBAL 5, "midstr"       ; line = MidStr(text, pos, e - pos)
    MOVE 6, 0
    MOVE 7, 3
    SUB 8, 4, 3
    CALL 5, 4, 2
    GETGLOBAL 6, "findstr"
    MOVE 7, 5
    LOADCONST 8, "fox"
    CALL 6, 3, 2
    EQ 1, 6, #-1
    JUMP nofox
    ADD 2, 2, #1
nofox: ADD 1, 1, #1
    ADD 3, 4, #1
    JUMP walk
split: GETGLOBAL 4, "splitstr"  ; parts, n = SplitStr(text, "\n")
    MOVE 5, 0
    LOADCONST 6, "\n"
    CALL 4, 3, 3
    GETGLOBAL 6, "replacestr"   ; ReplaceStr(text, "fox", "cat")
    MOVE 7, 0
    LOADCONST 8, "fox"
    LOADCONST 9, "cat"
    CALL 6, 4, 2
    GETGLOBAL 7, "bytelen"
    MOVE 8, 6
    CALL 7, 2, 2
    ADD 1, 1, 2
    ADD 1, 1, 5
    ADD 1, 1, 7
    RETURN 1, 2
