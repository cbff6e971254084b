// A name field (the lobby's, the join form's): a name over the limit is cut
// there and then, and the field says so under it; a name the server would
// refuse is caught before it is sent.

import { byId } from './dom.js';
import { t } from './i18n.js';
import { LIMITS } from './limits.js';
import { cutName, nameProblem } from './names.js';

function bindNameField(input, note) {
  let said = null; // the key of the words under the field
  const draw = () => {
    note.textContent = said ? t(said) : '';
  };
  input.addEventListener('input', () => {
    const { name, cut } = cutName(input.value.trim(), LIMITS.name_limit);
    if (cut) {
      input.value = name;
      said = 'name_cut';
    } else if (said === 'name_cut' || said === 'name_chars' || said === 'name_empty') {
      said = null;
    }
    draw();
  });
  return {
    // The name to send ('' for none), or null after saying why it cannot be.
    take() {
      const name = input.value.trim();
      const problem = name ? nameProblem(name, LIMITS.name_limit) : null;
      said = problem;
      draw();
      return problem ? null : name;
    },
    redraw: draw,
  };
}

export function nameField(inputId, noteId) {
  return bindNameField(byId(inputId), byId(noteId));
}
