; A sample and a Protracker module. A sample of one square-wave cycle (16
; values at 8000 Hz, a 500 Hz tone) is made from a table and played 500
; times over (one second); then tune.mod, a small module written by
; make_tune.py beside this file, plays its sixteen rows once. A module
; never ends by itself: after its last row it starts again at the top. So
; the example waits until the last row (row 15) is heard, lets it sound
; for its length (6 ticks at the module's speed 6), stops the music, and
; the run ends. Nothing is drawn: the window shows the display's colour.
;
; In script terms:
;   CreateSample(1, {80, 80, ..., -80, -80}, 8000)
;   PlaySample(1, 500)
;   Wait(1, #SECONDS)
;   OpenMusic(1, "tune.mod")
;   PlayMusic(1)
;   WaitPatternPosition(15)
;   Wait(6, #TICKS)
;   StopMusic(1)
.applet title "Quillmere sound"
.applet versionstring "$VER: Sound 1.0"
.applet authors "The Quillmere developers"
.applet section 3 be16:320 be16:120
.applet section 5 be32:0x402060
.line 1
GETGLOBAL 0, "createsample"
LOADNUM 1, 1
NEWTABLE 2, 16, 0
LOADNUM 3, 80
LOADNUM 4, 80
LOADNUM 5, 80
LOADNUM 6, 80
LOADNUM 7, 80
LOADNUM 8, 80
LOADNUM 9, 80
LOADNUM 10, 80
LOADCONST 11, #-80
LOADCONST 12, #-80
LOADCONST 13, #-80
LOADCONST 14, #-80
LOADCONST 15, #-80
LOADCONST 16, #-80
LOADCONST 17, #-80
LOADCONST 18, #-80
SETLIST 2, 15           ; entries 0 to 15
LOADCONST 3, #8000
CALL 0, 4, 1
.line 2
GETGLOBAL 0, "playsample"
LOADNUM 1, 1
LOADNUM 2, 500
CALL 0, 3, 1
GETGLOBAL 0, "wait"
LOADNUM 1, 1
LOADNUM 2, #SECONDS
CALL 0, 3, 1
.line 3
GETGLOBAL 0, "openmusic"
LOADNUM 1, 1
LOADCONST 2, "tune.mod"
CALL 0, 3, 1
GETGLOBAL 0, "playmusic"
LOADNUM 1, 1
CALL 0, 2, 1
.line 4
GETGLOBAL 0, "waitpatternposition"
LOADNUM 1, 15
CALL 0, 2, 1
GETGLOBAL 0, "wait"
LOADNUM 1, 6            ; 6 ticks of 20 ms: one row
LOADNUM 2, #TICKS
CALL 0, 3, 1
.line 5
GETGLOBAL 0, "stopmusic"
LOADNUM 1, 1
CALL 0, 2, 1
RETURN 0, 1, 0
