/*
 * wiiuse.h: the Wii Remote API as hitcheck uses it.
 *
 * Names, types and values are those of the wiiuse library, so that a program
 * written against this header builds unchanged against a wiiuse installation.
 * Only what hitcheck needs is declared here.
 */
#ifndef HITCHECK_WIIUSE_H
#define HITCHECK_WIIUSE_H

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned char byte;

/* LED masks for wiiuse_set_leds() and the record's `leds`. */
#define WIIMOTE_LED_NONE 0x00
#define WIIMOTE_LED_1 0x10
#define WIIMOTE_LED_2 0x20
#define WIIMOTE_LED_3 0x40
#define WIIMOTE_LED_4 0x80

/* Button masks of `btns`, `btns_held` and `btns_released`. */
#define WIIMOTE_BUTTON_TWO 0x0001
#define WIIMOTE_BUTTON_ONE 0x0002
#define WIIMOTE_BUTTON_B 0x0004
#define WIIMOTE_BUTTON_A 0x0008
#define WIIMOTE_BUTTON_MINUS 0x0010
#define WIIMOTE_BUTTON_HOME 0x0080
#define WIIMOTE_BUTTON_LEFT 0x0100
#define WIIMOTE_BUTTON_RIGHT 0x0200
#define WIIMOTE_BUTTON_DOWN 0x0400
#define WIIMOTE_BUTTON_UP 0x0800
#define WIIMOTE_BUTTON_PLUS 0x1000

/*
 * Expansions, as `exp.type` numbers them. 0 to 4 are wiiuse's numbers; the
 * kernel driver knows a few more devices, which get numbers of their own
 * from 100 on.
 */
#define EXP_NONE 0
#define EXP_NUNCHUK 1
#define EXP_CLASSIC 2
#define EXP_GUITAR_HERO_3 3
#define EXP_WII_BOARD 4
#define EXP_DRUMS 100
#define EXP_PRO_CONTROLLER 101
#define EXP_UNKNOWN 199

/* What the last wiiuse_poll() found for a remote. */
typedef enum WIIUSE_EVENT_TYPE {
	WIIUSE_NONE = 0,
	WIIUSE_EVENT,
	WIIUSE_STATUS,
	WIIUSE_CONNECT,
	WIIUSE_DISCONNECT,
	WIIUSE_UNEXPECTED_DISCONNECT
} WIIUSE_EVENT_TYPE;

/* One infrared source as the camera sees it. */
typedef struct ir_dot_t {
	byte visible;   /* non-zero when the source is seen */
	unsigned int x; /* camera coordinates: 0-1023 */
	unsigned int y; /* 0-767 */
} ir_dot_t;

typedef struct ir_t {
	struct ir_dot_t dot[4]; /* by the camera's slots */
	byte num_dots;          /* how many sources are visible */
	int x, y;               /* cursor: mean of the visible sources */
	float z;                /* distance value */
} ir_t;

typedef struct expansion_t {
	int type; /* EXP_* */
} expansion_t;

typedef struct wiimote_t {
	int unid;            /* id of the remote, from 1 */
	int state;           /* 0x08 connected, 0x80 infrared on, 0x100 speaker on */
	byte leds;           /* WIIMOTE_LED_* lit */
	float battery_level; /* charge, in percent */
	struct expansion_t exp;
	struct ir_t ir;
	unsigned short btns;          /* buttons down now */
	unsigned short btns_held;     /* ... and already down at the previous event */
	unsigned short btns_released; /* buttons that went up */
	WIIUSE_EVENT_TYPE event;      /* what the last poll found */
} wiimote;

/* A group of n remote records; null only when memory runs out. */
struct wiimote_t **wiiuse_init(int wiimotes);
/* Takes up to max_wiimotes remotes for the group; returns how many. */
int wiiuse_find(struct wiimote_t **wm, int max_wiimotes, int timeout_seconds);
/* Connects the found remotes of the group; returns how many connected. */
int wiiuse_connect(struct wiimote_t **wm, int wiimotes);
/* Updates the group's records; returns how many have an event. */
int wiiuse_poll(struct wiimote_t **wm, int wiimotes);
void wiiuse_set_leds(struct wiimote_t *wm, int leds);
void wiiuse_rumble(struct wiimote_t *wm, int status);
void wiiuse_set_ir(struct wiimote_t *wm, int status);

#ifdef __cplusplus
}
#endif

#endif
