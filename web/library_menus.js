// The toolkit's pop-up menus, which Emscripten's GLUT lacks, as elements of the page.
// Same rules as on the desktop: glutCreateMenu makes a menu and makes it current, entries are
// added to the current menu in order, glutAttachMenu ties the current menu to a mouse button of
// the window. The button's press opens the menu at the pointer; a submenu opens beside its entry
// when the pointer rests on it; pressing or releasing a button on a plain entry closes every menu
// and then calls the menu's callback with the entry's value. A press anywhere else, or Escape,
// closes the menus and chooses nothing.

var LibraryWebMenus = {
  $WebMenus__deps: ['$callUserCallback'],
  $WebMenus: {
    menus: [],    // by id - 1: {callback, entries: [{label, value, submenu}]}
    current: 0,   // the menu that the calls below work on
    buttons: {},  // mouse button -> id of the menu attached to it
    shown: [],    // the open pop-ups, outermost first: {id, element}
    openedAt: '', // where the pointer opened them: its release there chooses nothing
    listening: false,

    listen: function() {
      if (WebMenus.listening) return;
      WebMenus.listening = true;
      var canvas = Module['canvas'];
      canvas.addEventListener('mousedown', function(event) {
        var id = WebMenus.buttons[event.button];
        if (!id) return;
        event.preventDefault();
        WebMenus.openedAt = event.clientX + ',' + event.clientY;
        WebMenus.show(id, event.clientX, event.clientY, 0);
      });
      // The browser's own context menu would cover ours.
      canvas.addEventListener('contextmenu', function(event) {
        if (WebMenus.buttons[2]) event.preventDefault();
      });
      // Capturing, so that the press that closes the menus reaches nothing else.
      window.addEventListener('mousedown', function(event) {
        if (!WebMenus.shown.length || WebMenus.inside(event.target)) return;
        WebMenus.close(0);
        event.preventDefault();
        event.stopPropagation();
      }, true);
      window.addEventListener('keydown', function(event) {
        if (WebMenus.shown.length && event.key == 'Escape') WebMenus.close(0);
      }, true);
    },

    inside: function(node) {
      return WebMenus.shown.some(function(menu) { return menu.element.contains(node); });
    },

    // Opens menu id at (x, y), at depth level: 0 for a menu of its own, 1 for its submenu...
    show: function(id, x, y, level) {
      WebMenus.close(level);
      var element = document.createElement('div');
      element.className = 'glut-menu';
      element.setAttribute('role', 'menu');
      element.style.position = 'fixed';
      element.style.zIndex = 1000 + level;
      element.addEventListener('contextmenu', function(event) { event.preventDefault(); });
      WebMenus.menus[id - 1].entries.forEach(function(entry) {
        var item = document.createElement('div');
        item.className = 'glut-entry';
        item.setAttribute('role', 'menuitem');
        item.textContent = entry.label;
        if (entry.submenu) item.setAttribute('aria-haspopup', 'menu');
        item.addEventListener('mouseenter', function() {
          Array.prototype.forEach.call(element.children, function(other) {
            other.classList.toggle('glut-active', other === item);
          });
          if (entry.submenu) {
            var box = item.getBoundingClientRect();
            WebMenus.show(entry.submenu, element.getBoundingClientRect().right, box.top, level + 1);
          } else {
            WebMenus.close(level + 1);
          }
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
      document.body.appendChild(element);
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
      WebMenus.shown.push({id: id, element: element});
    },

    // Closes the open menus from depth level on.
    close: function(level) {
      WebMenus.shown.splice(level).forEach(function(menu) { menu.element.remove(); });
    },

    choose: function(id, value) {
      WebMenus.close(0);
      WebMenus.current = id;  // the toolkit makes the chosen entry's menu current for the call
      var callback = WebMenus.menus[id - 1].callback;
      callUserCallback(function() {
        {{{ makeDynCall('vi', 'callback') }}}(value);
      });
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
    if (!WebMenus.current) return;
    WebMenus.buttons[button] = WebMenus.current;
    WebMenus.listen();
  },
};

mergeInto(LibraryManager.library, LibraryWebMenus);
