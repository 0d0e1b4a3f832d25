// Types of the hidpipe client library (index.js).

export declare const VERSION: string;
/** The key names hidpipe takes: W3C KeyboardEvent codes, in the program's order. */
export declare const KEYS: readonly string[];
/** Buttons by name, as MouseEvent.button numbers them. */
export declare const BUTTONS: Readonly<{ left: 0; middle: 1; right: 2; back: 3; forward: 4 }>;

export type Button = "left" | "middle" | "right" | "back" | "forward" | 0 | 1 | 2 | 3 | 4;
export type Point = readonly [number, number];

/** hidpipe could not start, ended early, or ended with a failure status. */
export declare class HidpipeError extends Error {
  /** The exit status (negative: the signal's number), or null when it never ran. */
  readonly status: number | null;
  /** What hidpipe said about it. */
  readonly reason: string;
}

export interface Options {
  /** The program: by default $HIDPIPE, else hidpipe on PATH. */
  program?: string;
  /** HIDPIPE_BACKEND for it; unset, its automatic choice. */
  backend?: string;
  /** Pass its diagnostics on to this process's standard error. */
  verbose?: boolean;
  /** Its whole environment; by default this process's. */
  env?: Record<string, string | undefined>;
}

export declare class Hidpipe {
  constructor(options?: Options);
  /** Runs fn on a new hidpipe and closes it after, also when fn throws (that error wins). */
  static session<T>(options: Options, fn: (h: Hidpipe) => Promise<T>): Promise<T>;
  /** Writes lines as they are. */
  send(...lines: string[]): Promise<void>;
  move(x: number, y: number): Promise<void>;
  moveBy(dx: number, dy: number): Promise<void>;
  /** At (x, y), or where the pointer was put last. */
  press(button?: Button, x?: number, y?: number): Promise<void>;
  release(button?: Button, x?: number, y?: number): Promise<void>;
  /** count 1 to 3: a double or triple click. */
  click(x: number, y: number, button?: Button, count?: 1 | 2 | 3): Promise<void>;
  drag(path: readonly Point[], button?: Button): Promise<void>;
  /** Pixels, each -1000 to 1000; positive is right and down; 120 a notch. */
  scroll(x: number, y: number, dx: number, dy: number): Promise<void>;
  keyDown(code: string): Promise<void>;
  keyUp(code: string): Promise<void>;
  /** Pressed in order, released in reverse. */
  tap(...codes: string[]): Promise<void>;
  /** Any text, whatever the layout; each line break is Enter. */
  type(text: string): Promise<void>;
  releaseAll(): Promise<void>;
  /** 0 to 60000. */
  pause(ms: number): Promise<void>;
  /** Resolves once every event sent so far has been delivered; timeout in seconds. */
  sync(timeout?: number): Promise<void>;
  /** Ends the input and waits: resolves to 0, rejects with HidpipeError on any other status. */
  close(timeout?: number): Promise<number>;
}
