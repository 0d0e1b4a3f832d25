// The key names hidpipe takes in K lines: its own table's, in its order (W3C KeyboardEvent codes).
// A test checks this list against the program's source.
export const KEYS = Object.freeze([
  "KeyA", "KeyB", "KeyC", "KeyD", "KeyE", "KeyF", "KeyG", "KeyH", "KeyI", "KeyJ", "KeyK", "KeyL",
  "KeyM", "KeyN", "KeyO", "KeyP", "KeyQ", "KeyR", "KeyS", "KeyT", "KeyU", "KeyV", "KeyW", "KeyX",
  "KeyY", "KeyZ", "Digit0", "Digit1", "Digit2", "Digit3", "Digit4", "Digit5", "Digit6", "Digit7",
  "Digit8", "Digit9", "Numpad0", "Numpad1", "Numpad2", "Numpad3", "Numpad4", "Numpad5", "Numpad6",
  "Numpad7", "Numpad8", "Numpad9", "F1", "F2", "F3", "F4", "F5", "F6", "F7", "F8", "F9", "F10",
  "F11", "F12", "ArrowUp", "ArrowDown", "ArrowLeft", "ArrowRight", "PageUp", "PageDown", "Home",
  "End", "Insert", "Delete", "Backspace", "Tab", "Enter", "Escape", "Space", "CapsLock",
  "ShiftLeft", "ShiftRight", "ControlLeft", "ControlRight", "AltLeft", "AltRight", "MetaLeft",
  "MetaRight", "Backquote", "Minus", "Equal", "BracketLeft", "BracketRight", "Backslash",
  "IntlBackslash", "Semicolon", "Quote", "Comma", "Period", "Slash", "NumpadAdd", "NumpadSubtract",
  "NumpadDivide", "NumpadMultiply", "NumpadDecimal", "NumpadEnter", "NumpadEqual", "NumLock",
  "ContextMenu", "PrintScreen", "ScrollLock"
]);
