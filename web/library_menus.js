// The toolkit's pop-up menus, which Emscripten's GLUT lacks, as elements of the page.
// Same rules as on the desktop: glutCreateMenu makes a menu and makes it current, entries are
// added to the current menu in order, glutAttachMenu ties the current menu to a mouse button of
// the window. The button's press opens the menu at the pointer; a submenu opens beside its entry
// when the pointer rests on it; pressing or releasing a button on a plain entry closes every menu
// and then calls the menu's callback with the entry's value. A press anywhere else, or Escape,
// closes the menus and chooses nothing.
//
// What a desktop with a mouse does not need: a finger held still on the window opens the right
// button's menu there (a tap on an entry comes as the browser's mouse events); the window's
// frame, focused, opens it on Shift+F10 or the menu key, and the menus follow the WAI-ARIA menu
// pattern (arrows, Enter, Space, Escape), focus going back to the frame when they close.

mergeInto(LibraryManager.library, {
  $WebMenus__deps: ['$callUserCallback', 'glutPostRedisplay'],
  $WebMenus__postset: 'WebMenus.listen();',
  $WebMenus: {
    menus: [],    // by id - 1: {callback, entries: [{label, value, submenu}]}
    current: 0,   // the menu that the calls below work on
    buttons: {},  // mouse button -> id of the menu attached to it
    shown: [],    // the open pop-ups, outermost first: {id, element, opener (entry element)}
    openedAt: '', // where the pointer opened them: its release there chooses nothing
    held: null,   // the finger held on the window: {id, x, y, timer}

    // Set up as the program loads: each handler does nothing until a menu is attached.
    listen: function() {
      var canvas = Module['canvas'];
      var frame = canvas.parentElement;
      canvas.addEventListener('mousedown', function(event) {
        var id = WebMenus.buttons[event.button];
        if (!id) return;
        event.preventDefault();
        WebMenus.open(id, event.clientX, event.clientY);
      });

      // A long press: half a second with the finger (or pen) still.
      canvas.addEventListener('pointerdown', function(event) {
        if (event.pointerType == 'mouse' || !WebMenus.buttons[2]) return;
        WebMenus.release();
        var held = WebMenus.held = {id: event.pointerId, x: event.clientX, y: event.clientY};
        held.timer = setTimeout(function() {
          if (!WebMenus.shown.length) WebMenus.open(WebMenus.buttons[2], held.x, held.y);
        }, 500);
      });
      canvas.addEventListener('pointermove', function(event) {
        var held = WebMenus.held;
        if (held && held.id == event.pointerId &&
            Math.abs(event.clientX - held.x) + Math.abs(event.clientY - held.y) > 10) {
          WebMenus.release();
        }
      });
      canvas.addEventListener('pointerup', WebMenus.release);
      canvas.addEventListener('pointercancel', WebMenus.release);

      // The browser's own menu would cover ours. Some browsers send this event after a long
      // press, and keys send it to the focused frame: ours opens then, unless it is open.
      frame.addEventListener('contextmenu', function(event) {
        var id = WebMenus.buttons[2];
        if (!id) return;
        event.preventDefault();
        if (WebMenus.shown.length) return;
        if (WebMenus.held || event.pointerType == 'touch' || event.pointerType == 'pen') {
          WebMenus.release();
          WebMenus.open(id, event.clientX, event.clientY);
        } else if (event.target == frame) {
          WebMenus.openByKeys();
        }
      });
      frame.addEventListener('keydown', function(event) {
        if (WebMenus.shown.length || !WebMenus.buttons[2]) return;
        if (event.key == 'ContextMenu' || (event.key == 'F10' && event.shiftKey)) {
          event.preventDefault();
          WebMenus.openByKeys();
        }
      });

      // Capturing, so that the press that closes the menus reaches nothing else (its mouse
      // events included).
      window.addEventListener('pointerdown', function(event) {
        if (!WebMenus.shown.length || WebMenus.inside(event.target)) return;
        WebMenus.closeAll();
        event.preventDefault();
        event.stopPropagation();
      }, true);
      window.addEventListener('keydown', WebMenus.key, true);
    },

    release: function() {
      if (WebMenus.held) clearTimeout(WebMenus.held.timer);
      WebMenus.held = null;
    },

    inside: function(node) {
      return WebMenus.shown.some(function(menu) { return menu.element.contains(node); });
    },

    // Opens menu id at (x, y), the keyboard's way with its first entry focused.
    open: function(id, x, y, byKeys) {
      WebMenus.openedAt = x + ',' + y;
      var element = WebMenus.show(id, x, y, 0, null);
      (byKeys ? element.firstChild : element).focus();
    },

    openByKeys: function() {
      var box = Module['canvas'].getBoundingClientRect();
      WebMenus.open(WebMenus.buttons[2], box.left + 8, box.top + 8, true);
    },

    // Opens menu id at (x, y), at depth level: 0 for a menu of its own, 1 for its submenu...,
    // opened from the entry element opener.
    show: function(id, x, y, level, opener) {
      WebMenus.close(level);
      var element = document.createElement('div');
      element.className = 'glut-menu';
      element.id = 'glut-menu-' + level;
      element.setAttribute('role', 'menu');
      element.tabIndex = -1;
      if (opener) {
        element.setAttribute('aria-labelledby', opener.id);
        opener.setAttribute('aria-expanded', 'true');
      } else {
        element.setAttribute('aria-label', 'Menu');
      }
      element.addEventListener('contextmenu', function(event) { event.preventDefault(); });
      WebMenus.menus[id - 1].entries.forEach(function(entry, index) {
        var item = document.createElement('div');
        item.className = 'glut-entry';
        item.id = element.id + '-' + index;
        item.setAttribute('role', 'menuitem');
        item.tabIndex = -1;
        item.textContent = entry.label;
        if (entry.submenu) {
          item.setAttribute('aria-haspopup', 'menu');
          item.setAttribute('aria-expanded', 'false');
        }
        item.addEventListener('mouseenter', function() {
          WebMenus.point(level, index, false);
        });
        item.addEventListener('mousedown', function(event) {
          event.preventDefault();
          if (!entry.submenu) WebMenus.choose(id, entry.value);
        });
        // Press on the window, move onto an entry, release: chosen, as on the desktop.
        // A menu moved to stay inside the page may lie under the pointer that opened it.
        item.addEventListener('mouseup', function(event) {
          if (entry.submenu || event.clientX + ',' + event.clientY == WebMenus.openedAt) return;
          WebMenus.choose(id, entry.value);
        });
        element.appendChild(item);
      });
      // Beside the window in the page (within its landmarks), last: drawn above the rest.
      Module['canvas'].parentElement.parentElement.appendChild(element);
      var box = element.getBoundingClientRect();
      // A submenu's first entry level with the entry that opened it.
      if (level && element.firstChild) {
        y -= element.firstChild.getBoundingClientRect().top - box.top;
      }
      // Kept inside the page, as the desktop keeps menus on the screen.
      if (x + box.width > window.innerWidth) {
        x = level ? WebMenus.shown[level - 1].element.getBoundingClientRect().left - box.width
                  : window.innerWidth - box.width;
      }
      if (y + box.height > window.innerHeight) y = window.innerHeight - box.height;
      element.style.left = Math.max(0, x) + 'px';
      element.style.top = Math.max(0, y) + 'px';
      WebMenus.shown.push({id: id, element: element, opener: opener});
      return element;
    },

    // The entry index of the open menu at depth level becomes the focused one; its submenu, if
    // it has one, opens beside it (its first entry focused when asked), others close.
    point: function(level, index, focusSubmenu) {
      var menu = WebMenus.shown[level];
      var item = menu.element.children[index];
      var submenu = WebMenus.menus[menu.id - 1].entries[index].submenu;
      item.focus();
      if (submenu) {
        if (!WebMenus.shown[level + 1] || WebMenus.shown[level + 1].opener != item) {
          WebMenus.show(submenu, menu.element.getBoundingClientRect().right,
                        item.getBoundingClientRect().top, level + 1, item);
        }
        if (focusSubmenu) WebMenus.shown[level + 1].element.firstChild.focus();
      } else {
        WebMenus.close(level + 1);
      }
    },

    move: function(level, index) {
      WebMenus.close(level + 1);
      WebMenus.shown[level].element.children[index].focus();
    },

    // The menu keys, while menus are open: they reach nothing else.
    key: function(event) {
      var shown = WebMenus.shown;
      if (!shown.length) return;
      var focused = document.activeElement;
      var level = shown.length - 1;
      while (level > 0 && !shown[level].element.contains(focused)) level--;
      var items = shown[level].element.children;
      var index = Array.prototype.indexOf.call(items, focused);
      var id = shown[level].id;
      var entry = WebMenus.menus[id - 1].entries[index];
      var count = items.length;
      switch (event.key) {
        case 'ArrowDown': WebMenus.move(level, (index + 1) % count); break;
        case 'ArrowUp': WebMenus.move(level, (Math.max(index, 0) + count - 1) % count); break;
        case 'Home': WebMenus.move(level, 0); break;
        case 'End': WebMenus.move(level, count - 1); break;
        case 'ArrowRight':
        case 'Enter':
        case ' ':
          if (entry && entry.submenu) WebMenus.point(level, index, true);
          else if (entry && event.key != 'ArrowRight') WebMenus.choose(id, entry.value);
          break;
        case 'ArrowLeft':
        case 'Escape':
          if (level) {
            shown[level].opener.focus();
            WebMenus.close(level);
          } else if (event.key == 'Escape') {
            WebMenus.closeAll();
          }
          break;
        case 'Tab': WebMenus.closeAll(); break;
        default: return;
      }
      event.preventDefault();
      event.stopPropagation();
    },

    // Closes the open menus from depth level on.
    close: function(level) {
      WebMenus.shown.splice(level).forEach(function(menu) {
        if (menu.opener) menu.opener.setAttribute('aria-expanded', 'false');
        menu.element.remove();
      });
    },

    // Closes every menu; the focus they had goes back to the window's frame.
    closeAll: function() {
      var focused = WebMenus.inside(document.activeElement);
      WebMenus.close(0);
      if (focused) Module['canvas'].parentElement.focus({preventScroll: true});
    },

    choose: function(id, value) {
      WebMenus.closeAll();
      WebMenus.current = id;  // the toolkit makes the chosen entry's menu current for the call
      var callback = WebMenus.menus[id - 1].callback;
      callUserCallback(function() {
        {{{ makeDynCall('vi', 'callback') }}}(value);
      });
      // The window shows the choice once the menu is gone, as a desktop redraws what it covered.
      _glutPostRedisplay();
    },

    add: function(entry) {
      var menu = WebMenus.menus[WebMenus.current - 1];
      if (menu) menu.entries.push(entry);
    },
  },

  glutCreateMenu__deps: ['$WebMenus'],
  glutCreateMenu: function(callback) {
    WebMenus.menus.push({callback: callback, entries: []});
    return WebMenus.current = WebMenus.menus.length;
  },

  glutAddMenuEntry__deps: ['$WebMenus'],
  glutAddMenuEntry: function(label, value) {
    WebMenus.add({label: UTF8ToString(label), value: value});
  },

  glutAddSubMenu__deps: ['$WebMenus'],
  glutAddSubMenu: function(label, submenu) {
    if (WebMenus.menus[submenu - 1]) WebMenus.add({label: UTF8ToString(label), submenu: submenu});
  },

  glutAttachMenu__deps: ['$WebMenus'],
  glutAttachMenu: function(button) {
    if (WebMenus.current) WebMenus.buttons[button] = WebMenus.current;
  },
});
