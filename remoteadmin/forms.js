// The edit forms' helpers. A value's field is disabled while the box that
// puts it in use (data-enables="<field id>") is off, so a typed value never
// looks applied; the server keeps the stored value of a field not sent.
for (const box of document.querySelectorAll('input[data-enables]')) {
  const field = document.getElementById(box.dataset.enables);
  const follow = () => { field.disabled = !box.checked; };
  box.addEventListener('change', follow);
  follow();
}

// The records table narrows as its filter is typed; the Filter button does
// the same without script.
{
  const filter = document.getElementById('filter');
  if (filter !== null) {
    filter.addEventListener('input', () => {
      const text = filter.value.toLowerCase();
      for (const row of document.querySelectorAll('#records tbody tr[data-name]'))
        row.hidden = !row.dataset.name.toLowerCase().includes(text);
    });
  }
}
