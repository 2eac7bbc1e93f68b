; A brush and a background picture with transitions. The display opens at
; 320x240 on a dark blue picture. A gradient picture replaces it with a
; crossfade, and a yellow brush is revealed on it from the left. The run
; ends a second later.
;
; In script terms:
;   CreateGradientBGPic(2, 2, $FF8000, $2020A0, 320, 240)   ; type 2: linear
;   DisplayTransitionFX(2, #CROSSFADE, 20)
;   CreateBrush(1, 120, 80, $FFE000)
;   DisplayBrushFX(1, 100, 80, #REVEALLEFT, 10)
;   Wait(1, #SECONDS)
.applet title "Quillmere transitions"
.applet versionstring "$VER: Transitions 1.0"
.applet authors "The Quillmere developers"
.applet section 3 be16:320 be16:240
.applet section 5 be32:0x101848
.line 1
GETGLOBAL 0, "creategradientbgpic"
LOADNUM 1, 2
LOADNUM 2, 2            ; a linear gradient (no constant names the type)
LOADCONST 3, #16744448  ; $FF8000
LOADCONST 4, #2105504   ; $2020A0
LOADNUM 5, 320
LOADNUM 6, 240
CALL 0, 7, 1
.line 2
GETGLOBAL 0, "displaytransitionfx"
LOADNUM 1, 2
LOADNUM 2, #CROSSFADE
LOADNUM 3, 20
CALL 0, 4, 1
.line 3
GETGLOBAL 0, "createbrush"
LOADNUM 1, 1
LOADNUM 2, 120
LOADNUM 3, 80
LOADCONST 4, #16769024  ; $FFE000
CALL 0, 5, 1
.line 4
GETGLOBAL 0, "displaybrushfx"
LOADNUM 1, 1
LOADNUM 2, 100
LOADNUM 3, 80
LOADNUM 4, #REVEALLEFT
LOADNUM 5, 10
CALL 0, 6, 1
.line 5
GETGLOBAL 0, "wait"
LOADNUM 1, 1
LOADNUM 2, #SECONDS
CALL 0, 3, 1
RETURN 0, 1, 0
