; Layers with undo. Layers are switched on for the 320x240 display; three
; brushes are shown as layers, overlapping, and the last one is taken back
; with Undo, so the two others show again where it covered them. The run
; ends a second later.
;
; In script terms:
;   EnableLayers()
;   CreateBrush(1, 120, 90, $D03030)
;   CreateBrush(2, 120, 90, $30D030)
;   CreateBrush(3, 120, 90, $3030D0)
;   DisplayBrush(1, 40, 40)
;   DisplayBrush(2, 100, 80)
;   DisplayBrush(3, 160, 120)
;   Wait(25)
;   Undo(#BRUSH, 3)
;   Wait(1, #SECONDS)
.applet title "Quillmere layers"
.applet versionstring "$VER: Layers 1.0"
.applet authors "The Quillmere developers"
.applet section 3 be16:320 be16:240
.applet section 5 be32:0x202020
.line 1
GETGLOBAL 0, "enablelayers"
CALL 0, 1, 1
.line 2
GETGLOBAL 0, "createbrush"
LOADNUM 1, 1
LOADNUM 2, 120
LOADNUM 3, 90
LOADCONST 4, #13643824  ; $D03030
CALL 0, 5, 1
GETGLOBAL 0, "createbrush"
LOADNUM 1, 2
LOADNUM 2, 120
LOADNUM 3, 90
LOADCONST 4, #3199024   ; $30D030
CALL 0, 5, 1
GETGLOBAL 0, "createbrush"
LOADNUM 1, 3
LOADNUM 2, 120
LOADNUM 3, 90
LOADCONST 4, #3158224   ; $3030D0
CALL 0, 5, 1
.line 3
GETGLOBAL 0, "displaybrush"
LOADNUM 1, 1
LOADNUM 2, 40
LOADNUM 3, 40
CALL 0, 4, 1
GETGLOBAL 0, "displaybrush"
LOADNUM 1, 2
LOADNUM 2, 100
LOADNUM 3, 80
CALL 0, 4, 1
GETGLOBAL 0, "displaybrush"
LOADNUM 1, 3
LOADNUM 2, 160
LOADNUM 3, 120
CALL 0, 4, 1
.line 4
GETGLOBAL 0, "wait"
LOADNUM 1, 25
CALL 0, 2, 1
.line 5
GETGLOBAL 0, "undo"
LOADNUM 1, #BRUSH
LOADNUM 2, 3
CALL 0, 3, 1
.line 6
GETGLOBAL 0, "wait"
LOADNUM 1, 1
LOADNUM 2, #SECONDS
CALL 0, 3, 1
RETURN 0, 1, 0
