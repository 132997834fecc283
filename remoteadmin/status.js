// The status page's live part: every 2 seconds the totals and the sessions
// are fetched again (the fragment named by #live's data-src) and put in
// place, without reloading the page. Without script the page's own refresh
// (in <noscript>) reloads the whole page instead.
(function () {
  'use strict';
  var live = document.getElementById('live');
  if (!live || !window.fetch) return;
  var source = live.getAttribute('data-src');
  var busy = false;
  function refresh() {
    if (busy || document.hidden) return;
    busy = true;
    fetch(source, { credentials: 'same-origin', cache: 'no-store' })
      .then(function (response) {
        // An expired session is sent to the login's bad-login page: go there.
        if (response.redirected || !response.ok) {
          if (response.redirected) window.location.href = response.url;
          return null;
        }
        return response.text();
      })
      .then(function (text) {
        if (text === null) return;
        // The table scrolls sideways on a narrow screen: it keeps its place.
        var table = document.getElementById('sessiontable');
        var left = table ? table.scrollLeft : 0;
        live.innerHTML = text;
        table = document.getElementById('sessiontable');
        if (table) table.scrollLeft = left;
        live.setAttribute('data-updated', String(Date.now()));
      })
      .catch(function () { /* the next round tries again */ })
      .then(function () { busy = false; });
  }
  window.setInterval(refresh, 2000);
})();
